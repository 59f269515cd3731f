#include "imagesize.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <QImage>
#include <QImageWriter>
#include <QString>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

namespace corvanel {

void PrintTo(const PageSize& size, std::ostream* os) { *os << size.width << "x" << size.height; }

namespace imaging {
namespace {

namespace fs = std::filesystem;
using corvanel::testing::TempDir;
using corvanel::testing::readBytes;
using corvanel::testing::writeBytes;

// An image with some ink, so no writer can take a shortcut for a blank page.
QImage makeImage(int width, int height, QImage::Format format) {
    QImage image(width, height, format);
    if (format == QImage::Format_Mono) {
        image.setColor(0, qRgb(255, 255, 255));
        image.setColor(1, qRgb(0, 0, 0));
        image.fill(0);
        for (int y = 0; y < height; ++y) image.setPixel(y % width, y, 1);
    } else {
        image.fill(Qt::white);
        for (int y = 0; y < height; ++y) image.setPixel(y % width, y, qRgb(0, 0, 0));
    }
    return image;
}

void writeImage(const fs::path& path, const QImage& image, const char* format) {
    QImageWriter writer(QString::fromStdString(path.string()), format);
    if (!writer.write(image))
        throw std::runtime_error("cannot write " + path.string() + ": " + writer.errorString().toStdString());
}

struct FormatCase {
    const char* file;
    const char* format;
    QImage::Format pixels;
    int width, height;
};

TEST(ReadImageSize, GivesTheSizeOfEachPageFormat) {
    TempDir dir;
    // Width and height differ in every case, so a swap shows.
    const FormatCase cases[] = {
        {"mono.tif", "tiff", QImage::Format_Mono, 123, 45},
        {"page.png", "png", QImage::Format_RGB32, 61, 207},
        {"page.bmp", "bmp", QImage::Format_RGB32, 300, 7},
        {"page.jpg", "jpeg", QImage::Format_RGB32, 33, 34},
        // The extension does not decide the format; the content does.
        {"png-named.tif", "png", QImage::Format_Grayscale8, 17, 9},
        {"no-extension", "tiff", QImage::Format_Mono, 9, 17},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path path = dir.path() / c.file;
        writeImage(path, makeImage(c.width, c.height, c.pixels), c.format);
        EXPECT_EQ(readImageSize(path), (PageSize{c.width, c.height}));
    }
}

TEST(ReadImageSize, FilesThatAreNoReadableImageGiveNothing) {
    TempDir dir;
    const fs::path& d = dir.path();

    writeImage(d / "whole.png", makeImage(40, 30, QImage::Format_RGB32), "png");
    const std::string png = readBytes(d / "whole.png");
    ASSERT_GT(png.size(), 24u);
    // Signature and the IHDR chunk's length and type, but not its width and height.
    writeBytes(d / "cut.png", png.substr(0, 16));
    writeBytes(d / "signature-only.png", png.substr(0, 8));
    writeBytes(d / "empty.tif", "");
    writeBytes(d / "text.tif", "page01 has no image yet\r\n");
    fs::create_directory(d / "folder.tif");

    for (const char* name : {"missing.tif", "cut.png", "signature-only.png", "empty.tif", "text.tif", "folder.tif"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readImageSize(d / name), std::nullopt);
    }
    EXPECT_EQ(readImageSize(d / "whole.png"), (PageSize{40, 30}));
}

}  // namespace
}  // namespace imaging
}  // namespace corvanel
