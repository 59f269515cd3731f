#pragma once

#include "labelmap.h"

#include <filesystem>
#include <optional>

namespace corvanel::imaging {

// The pixel size of an image file (TIFF, PNG, BMP, JPEG and whatever else
// Qt's image plugins read), from its header where the format allows, without
// decoding the pixels. nullopt when the file is missing or not a readable image.
std::optional<PageSize> readImageSize(const std::filesystem::path& path);

}  // namespace corvanel::imaging
