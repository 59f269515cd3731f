#include "imaging/overlay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace corvanel::imaging {
namespace {

LabelMap mapOf(std::int32_t width, std::int32_t height, const std::vector<std::int32_t>& labels) {
    LabelMap map(width, height);
    std::copy(labels.begin(), labels.end(), map.data());
    return map;
}

TEST(Overlay, RegionValuesAreFiftyTimesTheLabelModulo256) {
    const LabelMap map = mapOf(9, 1, {1, 2, 3, 4, 5, 6, 128, 129, 0});
    std::vector<std::uint8_t> pixels(9, 255);
    EXPECT_EQ(paintLabelMap(map, pixels.data(), 9, 1, false), 8u);
    EXPECT_EQ(pixels, (std::vector<std::uint8_t>{50, 100, 150, 200, 250, 44, 0, 50, 255}));
    // Large labels wrap the same way and stay regions of their own.
    EXPECT_EQ(regionValue(2147483647), static_cast<std::uint8_t>((2147483647ull * 50) & 0xFF));
}

TEST(Overlay, OutlinesAreDrawnOverTheLabels) {
    // Label 1 covers a 3 x 3 square with a hole; label 2 is a single pixel.
    const LabelMap map = mapOf(5, 4, {1, 1, 1, 0, 0,
                                      1, 0, 1, 0, 2,
                                      1, 1, 1, 0, 0,
                                      0, 0, 0, 0, 0});
    std::vector<std::uint8_t> pixels(20, 255);
    EXPECT_EQ(paintLabelMap(map, pixels.data(), 5, 4, true), 2u);
    EXPECT_EQ(pixels, (std::vector<std::uint8_t>{1, 1, 1, 255, 255,
                                                 1, 255, 1, 255, 1,
                                                 1, 1, 1, 255, 255,
                                                 255, 255, 255, 255, 255}));
    std::vector<std::uint8_t> plain(20, 255);
    EXPECT_EQ(paintLabelMap(map, plain.data(), 5, 4, false), 2u);
    EXPECT_EQ(plain[9], 100);
    EXPECT_EQ(std::count(plain.begin(), plain.end(), kOutlineValue), 0);
}

TEST(Overlay, CountsTheLabelsThatOccurWhateverTheirColumn) {
    const LabelMap gaps = mapOf(4, 1, {1, 2, 7, 7});
    std::vector<std::uint8_t> pixels(4);
    EXPECT_EQ(paintLabelMap(gaps, pixels.data(), 4, 1, false), 3u);

    LabelMap wide(10005, 2);
    std::fill_n(wide.data(), wide.pixelCount(), 0);
    wide.data()[10001] = 3;
    wide.data()[10005 + 10004] = 3;
    std::vector<std::uint8_t> widePixels(wide.pixelCount(), 255);
    EXPECT_EQ(paintLabelMap(wide, widePixels.data(), 10005, 2, true), 1u);
    EXPECT_EQ(widePixels[10005 + 10002], kOutlineValue);  // bottom edge of the box
}

TEST(Overlay, NeverWritesOutsideThePage) {
    // A map larger than the page on both axes, with a box reaching beyond it.
    LabelMap map(6, 5);
    std::fill_n(map.data(), map.pixelCount(), 4);
    const std::int32_t width = 3, height = 2;
    std::vector<std::uint8_t> guarded(static_cast<std::size_t>(width * height) + 16, 7);
    std::uint8_t* page = guarded.data() + 8;
    EXPECT_EQ(paintLabelMap(map, page, width, height, true), 1u);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(guarded[static_cast<std::size_t>(k)], 7);
        EXPECT_EQ(guarded[guarded.size() - 1 - static_cast<std::size_t>(k)], 7);
    }
    // Only the box's top and left edges lie on the page.
    EXPECT_EQ(std::vector<std::uint8_t>(page, page + 6), (std::vector<std::uint8_t>{1, 1, 1, 1, 200, 200}));

    // A smaller map leaves the rest of the page as it was.
    const LabelMap small = mapOf(2, 1, {5, 5});
    std::vector<std::uint8_t> pixels(6, 9);
    paintLabelMap(small, pixels.data(), 3, 2, false);
    EXPECT_EQ(pixels, (std::vector<std::uint8_t>{250, 250, 9, 9, 9, 9}));
}

}  // namespace
}  // namespace corvanel::imaging
