#include "imaging/imagesize.h"
#include "imaging/tiffsize.h"

#include <QBuffer>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <QImageReader>
#include <QString>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanel::imaging {

std::unique_ptr<QFile> openImageFile(const std::filesystem::path& path, QString* why) {
    const auto fail = [&](const QString& reason) -> std::unique_ptr<QFile> {
        if (why) *why = reason;
        return nullptr;
    };
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return fail(QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(info.st_mode)) return fail(QStringLiteral("not a regular file"));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(QString::fromLocal8Bit(std::strerror(errno)));
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(file->errorString());
    }
    return file;
}

void prepareReader(QImageReader& reader, QFile& file, const std::filesystem::path& path) {
    reader.setDevice(&file);
    QByteArray suffix = QByteArray::fromStdString(path.extension().string()).toLower();
    if (suffix.startsWith('.')) suffix.remove(0, 1);
    reader.setFormat(suffix);
    reader.setDecideFormatFromContent(true);
}


std::optional<PageSize> readImageSize(const std::filesystem::path& path) {
    if (const auto size = readTiffSize(path)) return size;
    return readImageSizeWithQt(path);
}

std::optional<PageSize> readImageSizeWithQt(const std::filesystem::path& path) {
    const std::unique_ptr<QFile> file = openImageFile(path);
    if (!file) return std::nullopt;
    QImageReader reader;
    prepareReader(reader, *file, path);
    // The header's size, where the format keeps it there: one open of the
    // file, not a second one to ask first whether it can be read.
    QSize size = reader.size();
    if (!size.isValid()) {
        if (!reader.canRead()) return std::nullopt;
        // The format keeps its size elsewhere: decode to learn it.
        size = reader.read().size();
    }
    if (!size.isValid() || size.isEmpty()) return std::nullopt;
    return PageSize{size.width(), size.height()};
}

void quietImageLibraries() {
    quietTiff();
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
        if (type == QtFatalMsg) std::abort();
    });
}

std::optional<GreyImage> greyImageOf(QImage image) {
    GreyImage grey;
    grey.width = image.width();
    grey.height = image.height();
    grey.pixels.resize(static_cast<std::size_t>(grey.width) * static_cast<std::size_t>(grey.height));
    std::uint8_t* out = grey.pixels.data();
    if (image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB) {
        // Bilevel scans, the common case: unpacked here, eight times faster than a conversion.
        const QList<QRgb> colours = image.colorTable();
        std::uint8_t shade[2] = {0, 255};
        for (int i = 0; i < 2 && i < colours.size(); ++i)
            shade[i] = greyOf(static_cast<std::uint8_t>(qRed(colours[i])), static_cast<std::uint8_t>(qGreen(colours[i])),
                              static_cast<std::uint8_t>(qBlue(colours[i])));
        const bool msbFirst = image.format() == QImage::Format_Mono;
        for (int y = 0; y < grey.height; ++y, out += grey.width) {
            const uchar* bits = image.constScanLine(y);
            for (int x = 0; x < grey.width; ++x) {
                const int bit = msbFirst ? (bits[x >> 3] >> (7 - (x & 7))) & 1 : (bits[x >> 3] >> (x & 7)) & 1;
                out[x] = shade[bit];
            }
        }
        return grey;
    }
    if (image.format() != QImage::Format_Grayscale8) {
        if (image.isGrayscale() && image.depth() <= 8)
            image.convertTo(QImage::Format_Grayscale8);
        else
            image.convertTo(QImage::Format_RGB32);
        if (image.isNull()) return std::nullopt;
    }
    for (int y = 0; y < grey.height; ++y, out += grey.width) {
        if (image.format() == QImage::Format_Grayscale8) {
            std::memcpy(out, image.constScanLine(y), static_cast<std::size_t>(grey.width));
            continue;
        }
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < grey.width; ++x)
            out[x] = greyOf(static_cast<std::uint8_t>(qRed(row[x])), static_cast<std::uint8_t>(qGreen(row[x])),
                            static_cast<std::uint8_t>(qBlue(row[x])));
    }
    return grey;
}

std::variant<GreyImage, std::string> readGreyImage(const std::filesystem::path& path) {
    QString why;
    const std::unique_ptr<QFile> file = openImageFile(path, &why);
    if (!file) return "cannot open it: " + why.toStdString();
    QImageReader reader;
    prepareReader(reader, *file, path);
    // Pixels as stored, like the page's size: no EXIF turn.
    reader.setAutoTransform(false);
    QImage image = reader.read();
    if (image.isNull()) return "cannot decode it: " + reader.errorString().toStdString();
    std::optional<GreyImage> grey = greyImageOf(std::move(image));
    if (!grey) return std::string("not enough memory to decode it");
    return std::move(*grey);
}

void loadImagePlugins() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Bytes no format claims make the reader ask every plugin.
        QByteArray bytes("\x01\x02\x03\x04 no image", 13);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        (void)reader.canRead();
    });
}

}  // namespace corvanel::imaging
