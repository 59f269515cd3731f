#pragma once

// Paints a label map's regions into the 8-bit pixels of an overlay image.

#include "eval/labelmap.h"

#include <cstddef>
#include <cstdint>

namespace corvanel::imaging {

// The value a pixel of label l gets: the low 8 bits of l x 50.
constexpr std::uint8_t regionValue(std::int32_t label) {
    return static_cast<std::uint8_t>((static_cast<std::uint32_t>(label) * 50u) & 0xFFu);
}

// The value of a bounding-box outline pixel.
constexpr std::uint8_t kOutlineValue = 1;

// Writes regionValue(l) into every pixel of `pixels` (width x height bytes,
// top row first) whose label l in `map` is not 0, then, with `boxes`, each
// region's bounding-box outline with kOutlineValue over them. Map pixels
// that fall outside width x height are not painted, whatever the map's size.
// Returns the number of regions: the labels that occur.
std::size_t paintLabelMap(const LabelMap& map, std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                          bool boxes);

// The same from a map of `mapWidth` labels a row fed slice by slice, row-major
// from its first label, so the map need not be held whole.
class OverlayPainter {
public:
    OverlayPainter(std::uint8_t* pixels, std::int32_t width, std::int32_t height, std::int32_t mapWidth);
    void add(const std::int32_t* labels, std::size_t count);
    // Outlines the regions with `boxes`; the number of regions.
    std::size_t finish(bool boxes);

private:
    std::uint8_t* pixels_;
    std::int32_t width_, height_;
    std::size_t mapWidth_;
    std::size_t fed_ = 0;
    RegionTableBuilder regions_;
};

}  // namespace corvanel::imaging
