#pragma once

// Workspaces the batch tests build, and the worked example that both the
// engine's batch and corvanel-eval must report byte for byte.

#include "tests/support/map_builder.h"
#include "tools/synth.h"
#include "tests/support/test_support.h"

#include <QImage>
#include <QImageWriter>
#include <QString>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace corvanel::testing {

constexpr PageSize kPage{40, 20};  // eight cells a row, four rows
const std::string kHeader = std::string(8, ' ') + " DR \t RA \t FM \t N \t M \to2o\r\n";

// The workspace layout of a batch: images/, gt/{lines,words}/, results/{lines,words}/,
// in a temporary folder.
class TestWorkspace {
public:
    const std::filesystem::path& path() const { return dir_.path(); }
    std::string arg() const { return path().string(); }
    std::filesystem::path image(const std::string& name) const { return path() / "images" / name; }
    std::filesystem::path map(const char* side, const char* level, const std::string& name) const {
        return path() / side / level / (name + ".dat");
    }
    std::filesystem::path report() const { return path() / "Results.txt"; }

    // A black-and-white page image of the given size.
    void writeImage(const std::string& name, PageSize size) const {
        std::filesystem::create_directories(path() / "images");
        QImage picture(size.width, size.height, QImage::Format_Mono);
        picture.setColor(0, qRgb(255, 255, 255));
        picture.setColor(1, qRgb(0, 0, 0));
        picture.fill(0);
        QImageWriter writer(QString::fromStdString(image(name).string()), "tiff");
        if (!writer.write(picture)) throw std::runtime_error("cannot write the image " + name);
    }

    void writeMaps(const std::string& name, const char* level, const LabelMap& gt, const LabelMap& rs,
                   bool header = false) const {
        synth::writeLabelMap(map("gt", level, name), gt, header);
        synth::writeLabelMap(map("results", level, name), rs, header);
    }

    // page01: N = 20, M = 21, 19 one to one; page02: N = M = 18, all one to
    // one; page03: an image without label maps.
    void writeExample(PageSize imageSize = kPage, bool header = false) const {
        writeImage("page01.tif", imageSize);
        writeMaps("page01.tif", "lines", MapBuilder(kPage).cells(0, 20, 1).take(),
                  MapBuilder(kPage).cells(0, 19, 101).cells(20, 2, 500).take(), header);
        writeImage("page02.tif", imageSize);
        writeMaps("page02.tif", "lines", MapBuilder(kPage).cells(0, 18, 1).take(),
                  MapBuilder(kPage).cells(0, 18, 3, 7).take(), header);
        writeImage("page03.tif", imageSize);
    }

private:
    TempDir dir_;
};

const std::string kPage01Line = "page01.tif\t95.00\t90.48\t92.68\t20\t21\t19\t\r\n";
const std::string kPage02Line = "page02.tif\t100.00\t100.00\t100.00\t18\t18\t18\t\r\n";
const std::string kExampleReport = kHeader + "\r\n" + kPage01Line + kPage02Line + "page03.tif\t\r\n";

}  // namespace corvanel::testing
