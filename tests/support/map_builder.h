#pragma once

// Label maps of small square regions for tests that need pages with known
// counts.

#include "eval/labelmap.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvanel::testing {

// The bytes of a label-map file: 32-bit little-endian labels, after the
// width and height when there is a header.
inline std::string labelMapBytes(const std::vector<std::int32_t>& labels,
                                 std::optional<PageSize> header = std::nullopt) {
    std::string bytes;
    const auto put = [&](std::int32_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((u >> shift) & 0xFF));
    };
    if (header) {
        put(header->width);
        put(header->height);
    }
    for (std::int32_t v : labels) put(v);
    return bytes;
}

// A label map of small square regions on a grid of 5 x 5 cells, row by row.
class MapBuilder {
public:
    explicit MapBuilder(PageSize size) : map_(size.width, size.height) {
        std::fill_n(map_.data(), map_.pixelCount(), 0);
    }
    MapBuilder& block(std::int32_t label, std::int32_t left, std::int32_t top, std::int32_t width,
                      std::int32_t height) {
        for (std::int32_t y = top; y < top + height; ++y)
            for (std::int32_t x = left; x < left + width; ++x)
                map_.data()[static_cast<std::size_t>(y) * static_cast<std::size_t>(map_.width()) +
                            static_cast<std::size_t>(x)] = label;
        return *this;
    }
    // `count` regions of 4 x 4 pixels in cells firstCell, firstCell + 1, ...,
    // labelled firstLabel, firstLabel + step, ...
    MapBuilder& cells(std::int32_t firstCell, std::int32_t count, std::int32_t firstLabel, std::int32_t step = 1) {
        const std::int32_t perRow = map_.width() / 5;
        for (std::int32_t k = 0; k < count; ++k) {
            const std::int32_t cell = firstCell + k;
            block(firstLabel + k * step, (cell % perRow) * 5, (cell / perRow) * 5, 4, 4);
        }
        return *this;
    }
    LabelMap take() { return std::move(map_); }

private:
    LabelMap map_;
};

}  // namespace corvanel::testing
