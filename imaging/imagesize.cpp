#include "imagesize.h"

#include <QBuffer>
#include <QImageReader>
#include <QString>

#include <mutex>

namespace corvanel::imaging {

std::optional<PageSize> readImageSize(const std::filesystem::path& path) {
    QImageReader reader(QString::fromStdString(path.string()));
    if (!reader.canRead()) return std::nullopt;
    QSize size = reader.size();
    if (!size.isValid()) {
        // The format keeps its size elsewhere: decode to learn it.
        size = reader.read().size();
    }
    if (!size.isValid() || size.isEmpty()) return std::nullopt;
    return PageSize{size.width(), size.height()};
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
