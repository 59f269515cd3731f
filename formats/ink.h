#pragma once

// The page's ink: one fixed binarisation of a grey page, so that scores which
// count ink pixels are the same wherever they are computed.
//
// Rule:
// 1. Otsu's global threshold t on the 256-bin histogram: the t that maximises
//    the between-class variance of {grey <= t} and {grey > t}, over the t
//    that leave both classes non-empty; ties go to the lowest t. Ink is
//    grey <= t (the threshold value itself is ink).
// 2. If that marks more than a quarter of the page as ink (dark borders, grey
//    scans with uneven light), Sauvola's local threshold replaces it:
//    T(x,y) = m * (1 + k * (s / R - 1)), k = 0.2, R = 128, with m and s the
//    mean and standard deviation (population, divided by the count) of the
//    grey values in the square window of side w centred on (x,y), clipped to
//    the page. w = (larger side) / 100 rounded down, made odd by adding one
//    when even, at least 15 and at most 2001 (which keeps the exact test
//    below within 128-bit integers). Ink is grey <= T, decided exactly in integer
//    arithmetic (k and R are exact fractions), so no rounding moves a pixel.
// 3. A page of one grey value (or no pixels) has no ink.
//
// Cost: O(pixels) whatever w is; the window sums roll down the page one row
// at a time, so the extra memory is a few arrays of the page's width.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvanel {

// A colour pixel's grey value: (299 R + 587 G + 114 B + 500) / 1000, in
// whole numbers, so every decoder of a colour page finds the same ink.
inline std::uint8_t greyOf(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<std::uint8_t>((299u * r + 587u * g + 114u * b + 500u) / 1000u);
}

// A page image decoded to grey, owning its pixels (row by row, no padding).
struct GreyImage {
    std::int32_t width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
};

// An 8-bit grey page, row-major, `stride` bytes a row (0 = dark, 255 = white).
// `stride` >= `width`; `pixels` may be null only when the page has no pixels.
struct GreyPage {
    const std::uint8_t* pixels = nullptr;
    std::int32_t width = 0, height = 0;
    std::size_t stride = 0;
    std::uint8_t at(std::int32_t x, std::int32_t y) const {
        return pixels[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)];
    }
};

// The ink mask: width*height bytes, row by row, 1 for ink, 0 for paper.
struct InkMask {
    std::int32_t width = 0, height = 0;
    std::vector<std::uint8_t> ink;
    bool at(std::int32_t x, std::int32_t y) const {
        return ink[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] != 0;
    }
    std::size_t count() const;
};

InkMask findInk(const GreyPage& page);

// The threshold Otsu's method gives for the page's histogram; -1 when the
// page has fewer than two grey values (nothing is ink).
int otsuThreshold(const GreyPage& page);

namespace detail {

// Sauvola's window side for a page of this size (step 2 above).
std::int32_t sauvolaWindowSide(std::int32_t width, std::int32_t height);

// Step 2 alone, with a given window side (odd, 1 to 2001).
InkMask sauvolaInk(const GreyPage& page, std::int32_t side);

// The clipped window's pixel count, sum and sum of squares at every pixel,
// from the same rolling sums as sauvolaInk; row by row. For tests: it holds
// the whole page.
struct WindowStats {
    std::uint64_t count = 0, sum = 0, squares = 0;
};
std::vector<WindowStats> windowStats(const GreyPage& page, std::int32_t side);

}  // namespace detail

}  // namespace corvanel
