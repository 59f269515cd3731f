#include "formats/ink.h"

#include <algorithm>
#include <array>

namespace corvanel {

namespace {

// Products in the exact Sauvola test reach ~7e36; 128 bits hold them.
__extension__ typedef unsigned __int128 Wide;

constexpr std::int32_t maxSide = 2001;

std::size_t pixelCount(const GreyPage& page) {
    if (page.width <= 0 || page.height <= 0) return 0;
    return static_cast<std::size_t>(page.width) * static_cast<std::size_t>(page.height);
}

InkMask blankMask(const GreyPage& page) {
    InkMask mask;
    if (pixelCount(page) == 0) return mask;
    mask.width = page.width;
    mask.height = page.height;
    mask.ink.assign(pixelCount(page), 0);
    return mask;
}

const std::uint8_t* row(const GreyPage& page, std::int32_t y) {
    return page.pixels + static_cast<std::size_t>(y) * page.stride;
}

// Calls visit(x, y, count, sum, squares) for every pixel, row by row, with
// the sums over its clipped window. The column sums over the window's rows
// roll down one row at a time and each row's prefix sums give any span, so
// every pixel costs the same whatever the side.
template <class Visit>
void rollWindows(const GreyPage& page, std::int32_t side, Visit&& visit) {
    const std::int32_t width = page.width, height = page.height, reach = side / 2;
    // A column holds at most 2001 values of up to 255^2: 32 bits suffice.
    std::vector<std::uint32_t> columnSum(static_cast<std::size_t>(width), 0), columnSquares(columnSum);
    std::vector<std::uint64_t> prefixSum(static_cast<std::size_t>(width) + 1, 0), prefixSquares(prefixSum);
    const auto addRow = [&](std::int32_t y) {
        const std::uint8_t* grey = row(page, y);
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint32_t v = grey[x];
            columnSum[x] += v;
            columnSquares[x] += v * v;
        }
    };
    const auto removeRow = [&](std::int32_t y) {
        const std::uint8_t* grey = row(page, y);
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint32_t v = grey[x];
            columnSum[x] -= v;
            columnSquares[x] -= v * v;
        }
    };
    for (std::int32_t y = 0; y < std::min(reach, height); ++y) addRow(y);
    for (std::int32_t y = 0; y < height; ++y) {
        if (y + reach < height) addRow(y + reach);
        if (y - reach - 1 >= 0) removeRow(y - reach - 1);
        const std::uint64_t rows = static_cast<std::uint64_t>(std::min(height, y + reach + 1) - std::max(0, y - reach));
        for (std::int32_t x = 0; x < width; ++x) {
            prefixSum[x + 1] = prefixSum[x] + columnSum[x];
            prefixSquares[x + 1] = prefixSquares[x] + columnSquares[x];
        }
        for (std::int32_t x = 0; x < width; ++x) {
            const std::int32_t left = std::max(0, x - reach), right = std::min(width, x + reach + 1);
            visit(x, y, rows * static_cast<std::uint64_t>(right - left), prefixSum[right] - prefixSum[left],
                  prefixSquares[right] - prefixSquares[left]);
        }
    }
}

// grey <= m * (1 + (s/128 - 1) / 5) with m = S/n, s = sqrt(nQ - S^2)/n,
// multiplied out: 128 n (5 n grey - 4 S) <= S sqrt(nQ - S^2).
bool sauvolaInkAt(std::uint32_t grey, std::uint64_t count, std::uint64_t sum, std::uint64_t squares) {
    const auto n = static_cast<std::int64_t>(count), s = static_cast<std::int64_t>(sum);
    const std::int64_t left = 128 * n * (5 * n * static_cast<std::int64_t>(grey) - 4 * s);
    if (left <= 0) return true;
    const std::uint64_t variance = count * squares - sum * sum;  // n^2 times the variance, never negative
    const auto l = static_cast<std::uint64_t>(left);
    return Wide{l} * l <= Wide{sum * sum} * variance;
}

}  // namespace

std::size_t InkMask::count() const {
    return static_cast<std::size_t>(std::count(ink.begin(), ink.end(), std::uint8_t{1}));
}

int otsuThreshold(const GreyPage& page) {
    if (pixelCount(page) == 0) return -1;
    std::array<std::uint64_t, 256> histogram{};
    for (std::int32_t y = 0; y < page.height; ++y) {
        const std::uint8_t* grey = row(page, y);
        for (std::int32_t x = 0; x < page.width; ++x) ++histogram[grey[x]];
    }
    std::uint64_t total = 0, totalSum = 0;
    for (std::uint64_t v = 0; v < 256; ++v) {
        total += histogram[v];
        totalSum += v * histogram[v];
    }
    // Between-class variance times total^2, (S0 n1 - S1 n0)^2 / (n0 n1).
    // Thresholds over empty bins see the same counts and so the same value,
    // and the strict comparison keeps the lowest.
    double best = -1;
    int threshold = -1;
    std::uint64_t below = 0, belowSum = 0;
    for (int t = 0; t < 255; ++t) {
        below += histogram[t];
        belowSum += static_cast<std::uint64_t>(t) * histogram[t];
        const std::uint64_t above = total - below, aboveSum = totalSum - belowSum;
        if (below == 0 || above == 0) continue;
        const double gap = static_cast<double>(belowSum) * static_cast<double>(above) -
                           static_cast<double>(aboveSum) * static_cast<double>(below);
        const double between = gap * gap / (static_cast<double>(below) * static_cast<double>(above));
        if (between > best) {
            best = between;
            threshold = t;
        }
    }
    return threshold;
}

InkMask findInk(const GreyPage& page) {
    InkMask mask = blankMask(page);
    const int threshold = otsuThreshold(page);
    if (threshold < 0) return mask;
    std::size_t inked = 0;
    std::uint8_t* out = mask.ink.data();
    for (std::int32_t y = 0; y < page.height; ++y) {
        const std::uint8_t* grey = row(page, y);
        for (std::int32_t x = 0; x < page.width; ++x) {
            const std::uint8_t isInk = grey[x] <= threshold ? 1 : 0;
            *out++ = isInk;
            inked += isInk;
        }
    }
    if (inked * 4 > mask.ink.size())
        return detail::sauvolaInk(page, detail::sauvolaWindowSide(page.width, page.height));
    return mask;
}

namespace detail {

std::int32_t sauvolaWindowSide(std::int32_t width, std::int32_t height) {
    const std::int32_t side = std::max(width, height) / 100 | 1;
    return std::clamp(side, std::int32_t{15}, maxSide);
}

InkMask sauvolaInk(const GreyPage& page, std::int32_t side) {
    InkMask mask = blankMask(page);
    if (mask.ink.empty()) return mask;
    side = std::clamp(side | 1, std::int32_t{1}, maxSide);
    std::uint8_t* out = mask.ink.data();
    const std::uint8_t* grey = nullptr;
    rollWindows(page, side, [&](std::int32_t x, std::int32_t y, std::uint64_t count, std::uint64_t sum,
                                std::uint64_t squares) {
        if (x == 0) grey = row(page, y);
        *out++ = sauvolaInkAt(grey[x], count, sum, squares) ? 1 : 0;
    });
    return mask;
}

std::vector<WindowStats> windowStats(const GreyPage& page, std::int32_t side) {
    std::vector<WindowStats> stats;
    stats.reserve(pixelCount(page));
    if (stats.capacity() == 0) return stats;
    rollWindows(page, std::clamp(side | 1, std::int32_t{1}, maxSide),
                [&](std::int32_t, std::int32_t, std::uint64_t count, std::uint64_t sum, std::uint64_t squares) {
                    stats.push_back({count, sum, squares});
                });
    return stats;
}

}  // namespace detail

}  // namespace corvanel
