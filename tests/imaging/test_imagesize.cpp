#include "imaging/imagesize.h"
#include "imaging/tiffsize.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

#include <QImage>
#include <QImageWriter>
#include <QString>

#include <tiffio.h>

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

// The usual pages get their size by hand (the batch's fast path is not dead),
// and it is libtiff's; everything else is left to libtiff.
TEST(ReadTiffSize, ReadsTheUsualPagesByHandAndAsLibtiffDoes) {
    TempDir dir;
    const auto libtiffPage = [&](const char* name, const char* mode, std::uint32_t rowsPerStrip,
                                 std::uint16_t samples) {
        const fs::path path = dir.path() / name;
        TIFF* tiff = TIFFOpen(path.c_str(), mode);
        EXPECT_NE(tiff, nullptr);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 37u);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 70u);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, samples == 1 ? 1 : 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, samples == 1 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, samples == 1 ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
        std::string row(37 * samples, '\x0f');
        for (std::uint32_t y = 0; y < 70; ++y) TIFFWriteScanline(tiff, row.data(), y, 0);
        TIFFClose(tiff);
        return path;
    };
    const fs::path qtMono = dir.path() / "qt-mono.tif";
    writeImage(qtMono, makeImage(37, 70, QImage::Format_Mono), "tiff");
    struct Case {
        fs::path path;
        bool byHand;
    };
    for (const Case& c : {Case{libtiffPage("one-strip.tif", "w", 70, 1), true},
                          Case{libtiffPage("big-endian-strips.tif", "wb", 16, 1), true},
                          Case{qtMono, true}, Case{libtiffPage("rgb.tif", "w", 70, 3), false}}) {
        SCOPED_TRACE(c.path.filename().string());
        EXPECT_EQ(readTiffSize(c.path, TiffReader::Libtiff), (PageSize{37, 70}));
        EXPECT_EQ(readTiffSize(c.path, TiffReader::Plain),
                  c.byHand ? std::optional(PageSize{37, 70}) : std::nullopt);
        EXPECT_EQ(readTiffSize(c.path), (PageSize{37, 70}));
    }
    // A strip count that does not fit the rows is libtiff's to judge.
    const fs::path odd = libtiffPage("odd.tif", "w", 70, 1);
    std::string bytes = readBytes(odd);
    const std::size_t ifd = static_cast<unsigned char>(bytes[4]) | static_cast<unsigned char>(bytes[5]) << 8;
    for (std::size_t e = ifd + 2; e + 12 <= bytes.size(); e += 12)
        if (bytes[e] == 0x16 && bytes[e + 1] == 0x01) bytes[e + 8] = 20;  // RowsPerStrip 20: four strips
    writeBytes(odd, bytes);
    EXPECT_EQ(readTiffSize(odd, TiffReader::Plain), std::nullopt);
}

}  // namespace
}  // namespace imaging
}  // namespace corvanel
