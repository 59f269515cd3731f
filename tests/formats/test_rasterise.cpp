#include "formats/rasterise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace corvanel;

namespace {

// The pixel rule, one pixel at a time, in the rasteriser's own expression.
bool centreInside(const std::vector<Point>& polygon, double xc, double yc) {
    int beyond = 0;
    for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        const Point a = polygon[j], b = polygon[i];
        if ((a.y <= yc) != (b.y <= yc)) {
            const double x = a.x + (yc - a.y) * (b.x - a.x) / (b.y - a.y);
            if (x > xc) ++beyond;
        }
    }
    return beyond % 2 == 1;
}

Region box(std::string id, double left, double top, double right, double bottom, std::vector<Point> baseline = {}) {
    return {std::move(id), {{left, top}, {right, top}, {right, bottom}, {left, bottom}}, std::move(baseline), 0};
}

}  // namespace

// Without baselines the later region takes every shared pixel, so the map is
// the last region whose polygon holds the centre, pixel by pixel.
TEST(Rasterise, MatchesThePerPixelCrossingTest) {
    std::mt19937 random(20240611);
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    for (int round = 0; round < 400; ++round) {
        const PageSize size{uniform(1, 40), uniform(1, 40)};
        std::vector<Region> regions(static_cast<std::size_t>(uniform(1, 3)));
        for (std::size_t r = 0; r < regions.size(); ++r) {
            regions[r].id = "r" + std::to_string(r);
            const int corners = uniform(2, 9);
            for (int c = 0; c < corners; ++c) {
                // Off-page points, whole pixels, pixel-centre rows and columns, and anything between.
                const auto coordinate = [&](int extent) {
                    const double whole = uniform(-8, extent + 8);
                    switch (uniform(0, 3)) {
                        case 0: return whole;
                        case 1: return whole + 0.5;
                        default: return whole + std::uniform_real_distribution<double>(0, 1)(random);
                    }
                };
                regions[r].polygon.push_back({coordinate(size.width), coordinate(size.height)});
            }
            // A repeated vertex and a horizontal edge, as real exports have.
            if (uniform(0, 3) == 0) regions[r].polygon.push_back(regions[r].polygon.back());
            if (uniform(0, 3) == 0) regions[r].polygon.push_back({regions[r].polygon.back().x + 3, regions[r].polygon.back().y});
        }
        std::vector<std::string> warnings;
        const LabelMap map = rasterise(regions, size, &warnings);
        ASSERT_EQ(map.size(), size);

        std::vector<std::string> expectedWarnings;
        std::vector<std::int32_t> expected(map.pixelCount(), 0);
        for (std::size_t r = 0; r < regions.size(); ++r) {
            if (regions[r].polygon.size() < 3) {
                expectedWarnings.push_back("region " + regions[r].id + " has fewer than three points");
                continue;
            }
            bool covered = false;
            for (std::int32_t y = 0; y < size.height; ++y)
                for (std::int32_t x = 0; x < size.width; ++x)
                    if (centreInside(regions[r].polygon, x + 0.5, y + 0.5)) {
                        expected[static_cast<std::size_t>(y * size.width + x)] = static_cast<std::int32_t>(r + 1);
                        covered = true;
                    }
            if (!covered) expectedWarnings.push_back("region " + regions[r].id + " lies outside the page");
        }
        ASSERT_EQ(std::vector<std::int32_t>(map.data(), map.data() + map.pixelCount()), expected) << "round " << round;
        ASSERT_EQ(warnings, expectedWarnings) << "round " << round;
    }
}

TEST(Rasterise, SharedPixelsGoToTheNearestBaseline) {
    // Both cover rows 10..19; baselines at 12 and 21 meet halfway at y = 16.5.
    const std::vector<Region> regions{box("a", 0, 0, 10, 20, {{0, 12}, {10, 12}}),
                                      box("b", 0, 10, 10, 30, {{0, 21}, {10, 21}})};
    const LabelMap map = rasterise(regions, {10, 30});
    EXPECT_EQ(map.at(5, 5), 1);
    EXPECT_EQ(map.at(5, 10), 1);
    EXPECT_EQ(map.at(5, 15), 1);
    EXPECT_EQ(map.at(5, 16), 2);  // centre 16.5: a tie, the later region's
    EXPECT_EQ(map.at(5, 17), 2);
    EXPECT_EQ(map.at(5, 25), 2);

    // The distance is to the baseline's segments, not to its line: b's short
    // baseline ends at x = 2, so far right a's is nearer even at row 19.
    const std::vector<Region> shortB{box("a", 0, 0, 40, 20, {{0, 12}, {40, 12}}),
                                     box("b", 0, 10, 40, 30, {{0, 21}, {2, 21}})};
    const LabelMap skewed = rasterise(shortB, {40, 30});
    EXPECT_EQ(skewed.at(0, 19), 2);
    EXPECT_EQ(skewed.at(39, 19), 1);
}

TEST(Rasterise, WithoutABaselineTheLaterRegionWins) {
    for (bool firstHasOne : {false, true}) {
        std::vector<Region> regions{box("a", 0, 0, 10, 20), box("b", 0, 10, 10, 30)};
        (firstHasOne ? regions[0] : regions[1]).baseline = {{0, 15}, {10, 15}};
        const LabelMap map = rasterise(regions, {10, 30});
        EXPECT_EQ(map.at(5, 15), 2) << firstHasOne;
        EXPECT_EQ(map.at(5, 5), 1);
    }
    // A third region, later and without a baseline, takes over the winner of the first two.
    const std::vector<Region> three{box("a", 0, 0, 10, 20, {{0, 12}, {10, 12}}),
                                    box("b", 0, 10, 10, 30, {{0, 21}, {10, 21}}), box("c", 4, 0, 6, 30)};
    const LabelMap map = rasterise(three, {10, 30});
    EXPECT_EQ(map.at(5, 12), 3);
    EXPECT_EQ(map.at(3, 12), 1);
    EXPECT_EQ(map.at(3, 19), 2);
}
