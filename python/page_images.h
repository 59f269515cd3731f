#pragma once

// Page images for the Python module, without Qt: TIFF through libtiff, PNG
// through libpng, JPEG through libjpeg. Colour becomes grey by greyOf, as
// the programs' decoder does, so the page's ink is the same pixels here.
// Nothing is printed: each library's errors are caught per file.

#include "eval/labelmap.h"
#include "formats/ink.h"

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace corvanel::python {

// The pixel size of a TIFF, PNG or JPEG page image from its header;
// nullopt when it is none of them or cannot be read.
std::optional<PageSize> pageImageSize(const std::filesystem::path& path);

// The page image decoded to grey, or why not in a few words (a format this
// decoder does not read is said as such).
std::variant<GreyImage, std::string> readGreyPage(const std::filesystem::path& path);

}  // namespace corvanel::python
