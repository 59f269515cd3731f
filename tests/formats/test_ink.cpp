#include "formats/ink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

using namespace corvanel;

namespace {

// A page whose rows are padded with `padding` bytes of 0, so a reader that
// ignores the stride sees dark pixels that are not there.
struct Page {
    std::int32_t width, height;
    std::size_t stride;
    std::vector<std::uint8_t> bytes;
    Page(std::int32_t w, std::int32_t h, std::uint8_t grey, std::size_t padding = 7)
        : width(w), height(h), stride(static_cast<std::size_t>(w) + padding),
          bytes(stride * static_cast<std::size_t>(h), 0) {
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x) set(x, y, grey);
    }
    void set(std::int32_t x, std::int32_t y, std::uint8_t grey) {
        bytes[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)] = grey;
    }
    GreyPage view() const { return {bytes.data(), width, height, stride}; }
};

std::uint8_t clampGrey(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

// Two noisy modes: the threshold falls in the gap between them (at its lowest
// point, the darkest class's brightest value) and the mask is exactly the dark
// pixels. One grey value, dark or light, is no ink.
TEST(Ink, OtsuSeparatesTwoModesExactly) {
    std::mt19937 random(7321);
    std::uniform_int_distribution<int> noise(-25, 25);
    std::bernoulli_distribution dark(0.15);
    Page page(211, 147, 255);
    std::vector<bool> isDark;
    int brightestDark = 0, darkestPaper = 255;
    for (std::int32_t y = 0; y < page.height; ++y)
        for (std::int32_t x = 0; x < page.width; ++x) {
            isDark.push_back(dark(random));
            const std::uint8_t grey = clampGrey((isDark.back() ? 40 : 220) + noise(random));
            page.set(x, y, grey);
            if (isDark.back()) brightestDark = std::max<int>(brightestDark, grey);
            else darkestPaper = std::min<int>(darkestPaper, grey);
        }
    ASSERT_LT(brightestDark, darkestPaper);
    EXPECT_EQ(otsuThreshold(page.view()), brightestDark);
    const InkMask mask = findInk(page.view());
    ASSERT_EQ(mask.width, page.width);
    ASSERT_EQ(mask.height, page.height);
    std::size_t mismatches = 0, i = 0;
    for (std::int32_t y = 0; y < page.height; ++y)
        for (std::int32_t x = 0; x < page.width; ++x) mismatches += mask.at(x, y) != isDark[i++];
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(mask.count(), static_cast<std::size_t>(std::count(isDark.begin(), isDark.end(), true)));

    for (const int grey : {0, 128, 255}) {
        const Page uniform(40, 30, static_cast<std::uint8_t>(grey));
        EXPECT_EQ(otsuThreshold(uniform.view()), -1);
        EXPECT_EQ(findInk(uniform.view()).count(), 0u) << grey;
    }
}

// A black frame over 30% of the page and grey strokes on white paper: Otsu's
// cut falls between the frame and everything else, so it misses the strokes
// and marks over a quarter of the page; the local threshold then finds every
// stroke pixel and no paper pixel.
TEST(Ink, DarkFrameSwitchesToTheLocalThreshold) {
    std::mt19937 random(99);
    std::uniform_int_distribution<int> noise(0, 10);
    const std::int32_t width = 300, height = 200, frame = 20;  // frame: 30.7% of the page
    Page page(width, height, 0);
    std::vector<std::uint8_t> kind(static_cast<std::size_t>(width * height), 0);  // 0 frame, 1 paper, 2 stroke
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const bool inside = x >= frame && x < width - frame && y >= frame && y < height - frame;
            // Lines of dashes, 3 px thick, 12 px apart, clear of the frame.
            const bool stroke = inside && y >= frame + 8 && y < height - frame - 8 && (y - frame) % 12 < 3 &&
                                x >= frame + 8 && x < width - frame - 8 && (x / 10) % 2 == 0;
            kind[static_cast<std::size_t>(y * width + x)] = stroke ? 2 : inside ? 1 : 0;
            page.set(x, y, clampGrey(stroke ? 115 + noise(random) : inside ? 215 + noise(random) : noise(random)));
        }
    const int otsu = otsuThreshold(page.view());
    ASSERT_LT(otsu, 115) << "the page must defeat the global threshold for this test to mean anything";

    const InkMask mask = findInk(page.view());
    std::size_t strokes = 0, strokesFound = 0, paperMarked = 0;
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint8_t k = kind[static_cast<std::size_t>(y * width + x)];
            strokes += k == 2;
            strokesFound += k == 2 && mask.at(x, y);
            paperMarked += k == 1 && mask.at(x, y);
        }
    ASSERT_GT(strokes, 1000u);
    EXPECT_EQ(strokesFound, strokes);
    EXPECT_EQ(paperMarked, 0u);
}

// The rolling window sums against a direct sum over the clipped window at
// every pixel, for windows inside the page, of one pixel, and wider than it;
// and the exact integer decision against T computed in floating point
// wherever the two are not within rounding of each other.
TEST(Ink, SauvolaWindowsMatchADirectComputation) {
    std::mt19937 random(4242);
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    Page page(83, 57, 0, 5);
    for (std::int32_t y = 0; y < page.height; ++y)
        for (std::int32_t x = 0; x < page.width; ++x)
            // Left, any grey, so many pixels lie near their threshold; right, smooth light with dark specks.
            page.set(x, y, clampGrey(x < 40             ? uniform(0, 255)
                                     : uniform(0, 9) == 0 ? uniform(0, 90)
                                                          : 100 + x + uniform(-30, 30)));
    const GreyPage view = page.view();

    for (const std::int32_t side : {15, 1, 121}) {
        const std::vector<detail::WindowStats> stats = detail::windowStats(view, side);
        ASSERT_EQ(stats.size(), static_cast<std::size_t>(page.width * page.height));
        const InkMask mask = detail::sauvolaInk(view, side);
        std::size_t decided = 0, wrong = 0, near = 0;
        for (std::int32_t y = 0; y < page.height; ++y)
            for (std::int32_t x = 0; x < page.width; ++x) {
                std::uint64_t count = 0, sum = 0, squares = 0;
                for (int wy = std::max(0, y - side / 2); wy <= std::min(page.height - 1, y + side / 2); ++wy)
                    for (int wx = std::max(0, x - side / 2); wx <= std::min(page.width - 1, x + side / 2); ++wx) {
                        const std::uint64_t v = view.at(wx, wy);
                        ++count;
                        sum += v;
                        squares += v * v;
                    }
                const detail::WindowStats& got = stats[static_cast<std::size_t>(y * page.width + x)];
                ASSERT_EQ(got.count, count) << side << " at " << x << "," << y;
                ASSERT_EQ(got.sum, sum) << side << " at " << x << "," << y;
                ASSERT_EQ(got.squares, squares) << side << " at " << x << "," << y;

                const double mean = double(sum) / double(count);
                const double deviation = std::sqrt(std::max(0.0, double(squares) / double(count) - mean * mean));
                const double threshold = mean * (1 + 0.2 * (deviation / 128 - 1));
                const int grey = view.at(x, y);
                if (std::abs(grey - threshold) < 1e-6) continue;
                ++decided;
                near += std::abs(grey - threshold) < 1;
                wrong += mask.at(x, y) != (grey <= threshold);
            }
        EXPECT_EQ(wrong, 0u) << side;
        EXPECT_GT(decided, static_cast<std::size_t>(page.width * page.height) * 9 / 10) << side;
        if (side != 1) {
            EXPECT_GT(near, 20u) << side;  // the comparison is tested where it is tight
        }
    }
}
