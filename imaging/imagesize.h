#pragma once

#include "labelmap.h"

#include <filesystem>
#include <optional>

namespace corvanel::imaging {

// The pixel size of an image file (TIFF, PNG, BMP, JPEG and whatever else
// Qt's image plugins read), from its header where the format allows, without
// decoding the pixels. nullopt when the file is missing or not a readable image.
std::optional<PageSize> readImageSize(const std::filesystem::path& path);

// Loads every image plugin on the calling thread, once. Call it on the main
// thread before reading images on others: a plugin first loaded on a worker
// thread outlives that thread and crashes the process at exit.
void loadImagePlugins();

}  // namespace corvanel::imaging
