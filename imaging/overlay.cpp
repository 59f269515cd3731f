#include "imaging/overlay.h"

#include <algorithm>

namespace corvanel::imaging {

OverlayPainter::OverlayPainter(std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t mapWidth)
    : pixels_(pixels), width_(width), height_(height), mapWidth_(static_cast<std::size_t>(std::max(mapWidth, 1))),
      regions_(mapWidth) {}

void OverlayPainter::add(const std::int32_t* labels, std::size_t count) {
    const auto w = std::min(static_cast<std::size_t>(std::max(width_, 0)), mapWidth_);
    for (std::size_t i = 0; i < count;) {
        const std::size_t x = (fed_ + i) % mapWidth_;
        const std::size_t y = (fed_ + i) / mapWidth_;
        const std::size_t n = std::min(count - i, mapWidth_ - x);  // to the row's end
        if (y < static_cast<std::size_t>(std::max(height_, 0)) && x < w) {
            const std::int32_t* in = labels + i;
            std::uint8_t* out = pixels_ + y * static_cast<std::size_t>(width_) + x;
            for (std::size_t k = 0, end = std::min(n, w - x); k < end; ++k)
                if (in[k] != 0) out[k] = regionValue(in[k]);
        }
        i += n;
    }
    regions_.add(labels, count);
    fed_ += count;
}

std::size_t OverlayPainter::finish(bool boxes) {
    const RegionTable regions = regions_.finish();
    if (boxes) {
        const auto stride = static_cast<std::size_t>(width_);
        auto put = [&](std::int32_t x, std::int32_t y) {
            if (x >= 0 && x < width_ && y >= 0 && y < height_)
                pixels_[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)] = kOutlineValue;
        };
        for (const RegionBox& b : regions.regions) {
            for (std::int32_t x = b.left; x <= std::min(b.right, width_ - 1); ++x) {
                put(x, b.top);
                put(x, b.bottom);
            }
            for (std::int32_t y = b.top; y <= std::min(b.bottom, height_ - 1); ++y) {
                put(b.left, y);
                put(b.right, y);
            }
        }
    }
    return regions.regionCount();
}

std::size_t paintLabelMap(const LabelMap& map, std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                          bool boxes) {
    OverlayPainter painter(pixels, width, height, map.width());
    painter.add(map.data(), map.pixelCount());
    return painter.finish(boxes);
}

}  // namespace corvanel::imaging
