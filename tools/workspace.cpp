#include "workspace.h"

#include <QImage>
#include <QImageWriter>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace corvanel::synth {

namespace fs = std::filesystem;

bool writeInkImage(const fs::path& path, const LabelMap& map) {
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
