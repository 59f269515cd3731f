// The page-image size reader on any bytes, under each suffix the workspace
// uses. Input: one byte for the suffix, then the file's bytes.

#include "fuzz/fuzz_support.h"
#include "imaging/imagesize.h"
#include "imaging/tiffsize.h"

#include <QByteArray>
#include <QImageReader>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The suffix is only a hint: the content decides the format.
    static const corvanel::fuzz::ScratchFile files[] = {
        corvanel::fuzz::ScratchFile("page.tif"), corvanel::fuzz::ScratchFile("page.png"),
        corvanel::fuzz::ScratchFile("page.bmp"), corvanel::fuzz::ScratchFile("page.jpg")};
    const corvanel::fuzz::ScratchFile& file = files[data[0] % 4];
    file.write(data + 1, size - 1);
    const auto pageSize = corvanel::imaging::readImageSize(file.path());
    if (pageSize) CORVANEL_FUZZ_CHECK(pageSize->width > 0 && pageSize->height > 0);
    // The hand reader answers only where libtiff gives the same answer.
    using corvanel::imaging::TiffReader;
    if (const auto plain = corvanel::imaging::readTiffSize(file.path(), TiffReader::Plain)) {
        const auto libtiff = corvanel::imaging::readTiffSize(file.path(), TiffReader::Libtiff);
        CORVANEL_FUZZ_CHECK(libtiff && libtiff->width == plain->width && libtiff->height == plain->height);
    }

    // Qt and its plugins carry no coverage: a branch per format that claimed
    // the bytes keeps inputs of every format in libFuzzer's corpus.
    static volatile int seen = 0;
    const QByteArray format = QImageReader::imageFormat(QString::fromStdString(file.path().string()));
    if (format == "tiff") seen = seen + (pageSize ? 1 : 2);
    else if (format == "png") seen = seen + (pageSize ? 3 : 4);
    else if (format == "bmp") seen = seen + (pageSize ? 5 : 6);
    else if (format == "jpeg") seen = seen + (pageSize ? 7 : 8);
    else if (!format.isEmpty()) seen = seen + (pageSize ? 9 : 10);
    return 0;
}
