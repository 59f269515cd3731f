#include "tools/workspace.h"

#include "tools/handwriting.h"
#include "run/workspace.h"

#include <QImage>
#include <QImageWriter>

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvanel::synth {

namespace fs = std::filesystem;

namespace {

// Scanned pages come as group-4 TIFF, which Qt's writer cannot make.
// One bit a pixel, set for ink, rows padded to whole bytes.
std::vector<std::uint8_t> inkBits(const LabelMap& map, const std::vector<std::size_t>& specks) {
    const auto w = static_cast<std::size_t>(map.width());
    const std::size_t stride = (w + 7) / 8;
    std::vector<std::uint8_t> bits(stride * static_cast<std::size_t>(map.height()), 0);
    auto set = [&](std::size_t at) {
        bits[at / w * stride + (at % w) / 8] |= static_cast<std::uint8_t>(0x80 >> (at % w % 8));
    };
    for (std::size_t at = 0; at < map.pixelCount(); ++at)
        if (map.data()[at] != 0) set(at);
    for (std::size_t at : specks) set(at);
    return bits;
}

bool writeGroup4Tiff(const fs::path& path, const LabelMap& map, const std::vector<std::uint8_t>& bits) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) return false;
    const auto width = static_cast<std::uint32_t>(map.width());
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(map.height()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(map.height()));
    const std::size_t stride = (width + 7) / 8;
    std::vector<std::uint8_t> row(stride);
    bool ok = true;
    for (std::int32_t y = 0; y < map.height() && ok; ++y) {
        std::copy_n(bits.data() + static_cast<std::size_t>(y) * stride, stride, row.data());  // libtiff may scribble
        ok = TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0) >= 0;
    }
    TIFFClose(tiff);
    return ok;
}

}  // namespace

bool writeInkImage(const fs::path& path, const LabelMap& map, const std::vector<std::size_t>& specks) {
    const std::vector<std::uint8_t> bits = inkBits(map, specks);
    const std::string ext = path.extension().string();
    if (ext == ".tif" || ext == ".tiff") return writeGroup4Tiff(path, map, bits);
    QImage image(map.width(), map.height(), QImage::Format_Mono);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    const std::size_t stride = (static_cast<std::size_t>(map.width()) + 7) / 8;
    for (std::int32_t y = 0; y < map.height(); ++y)
        std::copy_n(bits.data() + static_cast<std::size_t>(y) * stride, stride, image.scanLine(y));
    QImageWriter writer(QString::fromStdString(path.string()));
    writer.setCompression(1);
    return writer.write(image);
}

SyntheticPage makeAnyPage(const PageLayout& layout) {
    return layout.style == PageStyle::Handwriting ? makeHandwrittenPage(layout) : makePage(layout);
}

void writeWorkspace(const fs::path& folder, int pages, PageLayout layout, bool header, const std::string& participant) {
    const Workspace ws(folder);
    const fs::path results = participant.empty() ? ws.defaultResultsFolder() : ws.participantFolder(participant);
    const std::uint64_t firstSeed = layout.seed;
    fs::create_directories(ws.imagesFolder());
    for (int p = 1; p <= pages; ++p) {
        char name[32];
        std::snprintf(name, sizeof name, "page%02d.tif", p);
        layout.seed = firstSeed + static_cast<std::uint64_t>(p);
        const SyntheticPage page = makeAnyPage(layout);
        if (!writeInkImage(ws.pageImage(name), page.gtWords, page.specks))
            throw std::runtime_error("cannot write " + ws.pageImage(name).string());
        writeLabelMap(ws.mapPath(MapKind::GroundTruth, Level::Lines, name), page.gtLines, header);
        writeLabelMap(ws.mapPath(MapKind::GroundTruth, Level::Words, name), page.gtWords, header);
        writeLabelMap(Workspace::mapIn(results, Level::Lines, name), page.rsLines, header);
        writeLabelMap(Workspace::mapIn(results, Level::Words, name), page.rsWords, header);
    }
}

}  // namespace corvanel::synth
