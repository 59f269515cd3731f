#pragma once

// A TIFF's size from libtiff alone: no Qt, so corvanel-eval can read the
// usual page images without loading Qt's GUI libraries.

#include "eval/labelmap.h"

#include <filesystem>
#include <optional>

namespace corvanel::imaging {

// Plain: only the usual pages, read by hand (nullopt for the rest);
// Libtiff: libtiff alone. Both are there for the fuzzer to compare.
enum class TiffReader { Any, Plain, Libtiff };

// The size of a TIFF from its first directory, asked for the fields Qt's TIFF
// plugin needs to read it (width, length, photometric). nullopt when the file
// is no TIFF, or lacks one of them: Qt's readers decide those.
std::optional<PageSize> readTiffSize(const std::filesystem::path& path, TiffReader reader = TiffReader::Any);

// Keeps libtiff's warnings and errors about damaged files off stderr.
void quietTiff();

}  // namespace corvanel::imaging
