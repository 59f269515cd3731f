#include "overlay.h"

#include <algorithm>

namespace corvanel::imaging {

std::size_t paintLabelMap(const LabelMap& map, std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                          bool boxes) {
    const std::int32_t w = std::min(width, map.width());
    const std::int32_t h = std::min(height, map.height());
    const auto stride = static_cast<std::size_t>(width);
    for (std::int32_t y = 0; y < h; ++y) {
        const std::int32_t* labels = map.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(map.width());
        std::uint8_t* row = pixels + static_cast<std::size_t>(y) * stride;
        for (std::int32_t x = 0; x < w; ++x)
            if (labels[x] != 0) row[x] = regionValue(labels[x]);
    }

    const RegionTable regions = buildRegionTable(map);
    if (boxes) {
        auto put = [&](std::int32_t x, std::int32_t y) {
            if (x >= 0 && x < width && y >= 0 && y < height)
                pixels[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)] = kOutlineValue;
        };
        for (const RegionBox& b : regions.regions) {
            for (std::int32_t x = b.left; x <= std::min(b.right, width - 1); ++x) {
                put(x, b.top);
                put(x, b.bottom);
            }
            for (std::int32_t y = b.top; y <= std::min(b.bottom, height - 1); ++y) {
                put(b.left, y);
                put(b.right, y);
            }
        }
    }
    return regions.regionCount();
}

}  // namespace corvanel::imaging
