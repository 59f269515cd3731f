#include "workspace.h"

#include <QImage>
#include <QImageWriter>

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace corvanel::synth {

namespace fs = std::filesystem;

namespace {

// Scanned pages come as group-4 TIFF, which Qt's writer cannot make.
bool writeGroup4Tiff(const fs::path& path, const LabelMap& map) {
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
    std::string row((width + 7) / 8, '\0');
    bool ok = true;
    for (std::int32_t y = 0; y < map.height() && ok; ++y) {
        std::fill(row.begin(), row.end(), '\0');
        for (std::int32_t x = 0; x < map.width(); ++x)
            if (map.at(x, y) != 0) row[static_cast<std::size_t>(x >> 3)] |= static_cast<char>(0x80 >> (x & 7));
        ok = TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0) >= 0;
    }
    TIFFClose(tiff);
    return ok;
}

}  // namespace

bool writeInkImage(const fs::path& path, const LabelMap& map) {
    const std::string ext = path.extension().string();
    if (ext == ".tif" || ext == ".tiff") return writeGroup4Tiff(path, map);
    QImage image(map.width(), map.height(), QImage::Format_Mono);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    image.fill(0);
    for (std::int32_t y = 0; y < map.height(); ++y) {
        uchar* row = image.scanLine(y);
        for (std::int32_t x = 0; x < map.width(); ++x)
            if (map.at(x, y) != 0) row[x >> 3] |= static_cast<uchar>(0x80 >> (x & 7));
    }
    QImageWriter writer(QString::fromStdString(path.string()));
    writer.setCompression(1);
    return writer.write(image);
}

void writeWorkspace(const fs::path& folder, int pages, PageLayout layout, bool header) {
    const std::uint64_t firstSeed = layout.seed;
    fs::create_directories(folder / "images");
    for (int p = 1; p <= pages; ++p) {
        char name[32];
        std::snprintf(name, sizeof name, "page%02d.tif", p);
        layout.seed = firstSeed + static_cast<std::uint64_t>(p);
        const SyntheticPage page = makePage(layout);
        if (!writeInkImage(folder / "images" / name, page.gtWords))
            throw std::runtime_error("cannot write " + (folder / "images" / name).string());
        const std::string dat = std::string(name) + ".dat";
        writeLabelMap(folder / "gt" / "lines" / dat, page.gtLines, header);
        writeLabelMap(folder / "gt" / "words" / dat, page.gtWords, header);
        writeLabelMap(folder / "results" / "lines" / dat, page.rsLines, header);
        writeLabelMap(folder / "results" / "words" / dat, page.rsWords, header);
    }
}

}  // namespace corvanel::synth
