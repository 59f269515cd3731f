#include "imagesize.h"

#include <QImageReader>
#include <QString>

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

}  // namespace corvanel::imaging
