#pragma once

#include "eval/labelmap.h"
#include "formats/ink.h"

#include <QFile>
#include <QImage>
#include <QImageReader>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace corvanel::imaging {

// An image file opened for a QImageReader by its path's own bytes (a name
// that is not UTF-8 is found all the same), only when it is a regular file,
// without ever blocking. On failure, null and the reason in `why`.
std::unique_ptr<QFile> openImageFile(const std::filesystem::path& path, QString* why = nullptr);

// A reader on `file`, which must outlive it: the format from the content,
// the path's suffix as a hint.
void prepareReader(QImageReader& reader, QFile& file, const std::filesystem::path& path);

// The pixel size of an image file (TIFF, PNG, BMP, JPEG and whatever else
// Qt's image plugins read), from its header where the format allows, without
// decoding the pixels. nullopt when the file is missing or not a readable image.
std::optional<PageSize> readImageSize(const std::filesystem::path& path);
// The same through Qt's readers alone, for a caller that has tried
// readTiffSize already.
std::optional<PageSize> readImageSizeWithQt(const std::filesystem::path& path);

// An image as grey (colour by greyOf), as the page's ink is found from it;
// nothing when there is no memory for it.
std::optional<GreyImage> greyImageOf(QImage image);

// A page image decoded to grey by greyImageOf, for its ink; why not, in a
// few words.
std::variant<GreyImage, std::string> readGreyImage(const std::filesystem::path& path);

// Loads every image plugin on the calling thread, once. Call it on the main
// thread before reading images on others: a plugin first loaded on a worker
// thread outlives that thread and crashes the process at exit.
void loadImagePlugins();

// Keeps what image libraries say about damaged files (libtiff's warnings and
// errors, Qt's image warnings) out of stderr: the callers say in their own
// words when a page cannot be read.
void quietImageLibraries();

}  // namespace corvanel::imaging
