#pragma once

// Reads label maps stored as PNG images: 16-bit grey, the label being the
// grey value, or 8 bits a channel RGB, the label being R + 256 G + 65536 B.
// 0 is the background. Samples are taken raw: no gamma or transparency
// chunk changes a label.

#include "eval/labelmap.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace corvanel {

// Why a file could not be read, as a sentence without the file's name.
struct PngProblem {
    std::string message;
};

// `expected`, when given, is the page image's size, which the map must have.
std::variant<LabelMap, PngProblem> readPngLabels(const std::filesystem::path& path,
                                                 std::optional<PageSize> expected);
std::variant<LabelMap, PngProblem> readPngLabels(std::span<const std::uint8_t> bytes,
                                                 std::optional<PageSize> expected);

}  // namespace corvanel
