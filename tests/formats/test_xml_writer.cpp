#include "formats/xml_writer.h"

#include "formats/rasterise.h"
#include "formats/xml_regions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace corvanel;

namespace {

LabelMap blank(PageSize size) {
    LabelMap map(size.width, size.height);
    std::fill_n(map.data(), map.pixelCount(), 0);
    return map;
}

std::int32_t& at(LabelMap& map, std::int32_t x, std::int32_t y) {
    return map.data()[static_cast<std::size_t>(y) * static_cast<std::size_t>(map.width()) +
                      static_cast<std::size_t>(x)];
}

double cross(Point o, Point a, Point b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); }

bool onSegment(Point a, Point b, Point p) {
    return cross(a, b, p) == 0 && std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) &&
           std::min(a.y, b.y) <= p.y && p.y <= std::max(a.y, b.y);
}

// Whether segments ab and cd share any point, touching included.
bool meet(Point a, Point b, Point c, Point d) {
    const double d1 = cross(c, d, a), d2 = cross(c, d, b), d3 = cross(a, b, c), d4 = cross(a, b, d);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return true;
    return onSegment(c, d, a) || onSegment(c, d, b) || onSegment(a, b, c) || onSegment(a, b, d);
}

// Simple, with no repeated point and no corner on a straight run: edges
// meet only their two neighbours, at a real turn.
void expectSimpleAndLean(const std::vector<Point>& polygon, const std::string& id) {
    const std::size_t n = polygon.size();
    ASSERT_GE(n, 4u) << id;
    for (std::size_t i = 0; i < n; ++i) {
        const Point a = polygon[i], b = polygon[(i + 1) % n], c = polygon[(i + 2) % n];
        EXPECT_NE(cross(a, b, c), 0) << id << " has a straight or doubled corner at point " << (i + 1) % n;
        for (std::size_t j = i + 2; j < n; ++j) {
            if (i == 0 && j == n - 1) continue;
            EXPECT_FALSE(meet(a, b, polygon[j], polygon[(j + 1) % n])) << id << ": edges " << i << " and " << j;
        }
    }
}

// The label each region's outline gives back to each of its own pixels:
// regions read back are rasterised and matched to the map's labels by id
// ("l12" is label 12). Pixels inside more than one outline are counted
// apart, as the baselines settle them.
struct Agreement {
    std::size_t own = 0, lost = 0, sharedOwn = 0, sharedLost = 0;
};

Agreement agreement(const LabelMap& original, const std::vector<Region>& outlines, const std::vector<Region>& back,
                    std::size_t prefixLength) {
    std::vector<std::int32_t> labelOf;
    for (const Region& r : back) labelOf.push_back(std::stoi(r.id.substr(prefixLength)));
    const LabelMap filled = rasterise(back, original.size());
    std::vector<int> covering(original.pixelCount(), 0);
    for (const Region& r : outlines) {
        const LabelMap alone = rasterise({r}, original.size());
        for (std::size_t i = 0; i < covering.size(); ++i) covering[i] += alone.data()[i] != 0;
    }
    Agreement result;
    for (std::size_t i = 0; i < covering.size(); ++i) {
        if (original.data()[i] == 0) continue;
        const bool kept = filled.data()[i] != 0 &&
                          labelOf[static_cast<std::size_t>(filled.data()[i] - 1)] == original.data()[i];
        if (covering[i] == 1)
            ++(kept ? result.own : result.lost);
        else
            ++(kept ? result.sharedOwn : result.sharedLost);
    }
    return result;
}

}  // namespace

// Scattered pixels put strips whose rows do not meet side by side, the case
// that would pinch the outline.
TEST(OutlineRegions, EveryPixelInsideASimpleLeanPolygon) {
    std::mt19937 random(20240612);
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    for (int round = 0; round < 200; ++round) {
        const PageSize size{uniform(1, 70), uniform(1, 50)};
        LabelMap map = blank(size);
        const std::int32_t labels[] = {5, 17, 2000000000};
        for (int stroke = uniform(1, 12); stroke > 0; --stroke) {
            const std::int32_t label = labels[uniform(0, 2)];
            const int x = uniform(0, size.width - 1), y = uniform(0, size.height - 1);
            if (uniform(0, 1) == 0) {
                at(map, x, y) = label;
                continue;
            }
            for (int yy = y; yy < std::min(size.height, y + uniform(1, 9)); ++yy)
                for (int xx = x; xx < std::min(size.width, x + uniform(1, 20)); ++xx) at(map, xx, yy) = label;
        }
        const RegionTable table = buildRegionTable(map);
        const std::vector<Region> regions = outlineRegions(map, "x");
        ASSERT_EQ(regions.size(), table.regions.size());
        for (std::size_t r = 0; r < regions.size(); ++r) {
            const RegionBox& box = table.regions[r];
            const Region& region = regions[r];
            ASSERT_EQ(region.id, "x" + std::to_string(box.label));
            expectSimpleAndLean(region.polygon, region.id);
            for (const Point& p : region.polygon) ASSERT_TRUE(p.x == std::floor(p.x) && p.y == std::floor(p.y));

            const LabelMap alone = rasterise({region}, size);
            for (std::int32_t y = 0; y < size.height; ++y)
                for (std::int32_t x = 0; x < size.width; ++x)
                    if (map.at(x, y) == box.label) {
                        ASSERT_EQ(alone.at(x, y), 1) << region.id << " at " << x << "," << y;
                    }

            ASSERT_GE(region.baseline.size(), 2u);
            EXPECT_EQ(region.baseline.front().x, box.left);
            EXPECT_EQ(region.baseline.back().x, box.right + 1);
            for (std::size_t i = 1; i < region.baseline.size(); ++i) {
                EXPECT_GT(region.baseline[i].x, region.baseline[i - 1].x) << region.id;
                EXPECT_GT(region.baseline[i].y, box.top) << region.id;
                EXPECT_LE(region.baseline[i].y, box.bottom + 1) << region.id;
            }
        }
    }
}

// Where each strip is a full block of rows the outline is the region itself,
// and a rectangle is four corners on its pixel edges with its baseline at
// the row that holds 90% of its ink.
TEST(OutlineRegions, TightOnStripAlignedShapes) {
    LabelMap map = blank({60, 40});
    for (int x = 3; x < 43; ++x)
        for (int y = 10 + 2 * ((x - 3) / 8); y < 15 + 2 * ((x - 3) / 8); ++y) at(map, x, y) = 1;
    for (int x = 50; x < 59; ++x)
        for (int y = 30; y < 40; ++y) at(map, x, y) = 2;
    const std::vector<Region> regions = outlineRegions(map, "l");
    ASSERT_EQ(regions.size(), 2u);
    const LabelMap back = rasterise(regions, map.size());
    EXPECT_TRUE(std::equal(back.data(), back.data() + back.pixelCount(), map.data()));
    EXPECT_EQ(regions[1].polygon, (std::vector<Point>{{50, 30}, {59, 30}, {59, 40}, {50, 40}}));
    EXPECT_EQ(regions[1].baseline, (std::vector<Point>{{50, 39}, {59, 39}}));
}

// Three irregular lines, one in two pieces, a line without words, a word
// that straddles two lines and one outside every line, through both formats
// and back.
TEST(XmlWriter, LinesAndWordsSurviveBothFormats) {
    const PageSize size{200, 130};
    LabelMap lines = blank(size), words = blank(size);
    for (int x = 10; x < 190; ++x) {
        if (x >= 80 && x < 110) continue;
        const int top = x < 80 ? 48 : 53;
        for (int y = top; y < top + 13; ++y) {
            if ((x + y) % 7 == 0) continue;
            at(lines, x, y) = 7;
            at(words, x, y) = x < 80 ? 31 : x < 150 ? 32 : 33;
        }
    }
    for (int x = 10; x < 190; ++x) {
        if ((x / 5) % 5 == 4) continue;  // gaps between letters
        const int top = 10 + x / 8;
        const int bottom = x == 60 || x == 61 ? 53 : top + 12 - (x % 4);  // a descender into line 7
        for (int y = top + (x % 3); y < bottom; ++y) {
            at(lines, x, y) = 3;
            at(words, x, y) = x < 70 ? 22 : x < 130 ? 21 : 23;  // not in label order
        }
    }
    for (int y = 40; y < 44; ++y)  // word 33 reaches into line 3 above
        for (int x = 175; x < 178; ++x)
            if (at(lines, x, y) == 3) at(words, x, y) = 33;
    for (int k = 0; k < 16; ++k) {
        const int cx = 16 + 11 * k, cy = 88 + static_cast<int>(5 * std::sin(k * 0.7));
        const int radius = 3 + k % 3, tail = k % 4 == 1 ? 12 : 0;  // some letters descend
        for (int y = cy - radius; y <= cy + radius + tail; ++y)
            for (int x = cx - radius; x <= cx + radius; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius || (tail && x == cx && y > cy)) {
                    at(lines, x, y) = 12;
                    at(words, x, y) = 41;
                }
    }
    for (int y = 115; y < 125; ++y)
        for (int x = 5; x < 60; ++x) at(lines, x, y) = 15;
    for (int y = 112; y < 122; ++y)
        for (int x = 150; x < 170; ++x) at(words, x, y) = 50;

    RegionDocument doc;
    doc.lines = outlineRegions(lines, "l");
    doc.words = outlineRegions(words, "w");
    const std::vector<std::size_t> wordLine = lineOfEachWord(lines, words);
    ASSERT_EQ(wordLine, (std::vector<std::size_t>{0, 0, 0, 1, 1, 1, 2, noLine}));

    for (const auto format : {RegionDocument::Format::Page, RegionDocument::Format::Alto}) {
        SCOPED_TRACE(format == RegionDocument::Format::Page ? "PAGE" : "ALTO");
        const std::string xml = writeRegionXml(format, doc, wordLine, size, "page <1> & co.png", "2024-05-06T07:08:09Z");
        const auto read = readRegionXml(xml, size);
        ASSERT_TRUE(std::holds_alternative<RegionDocument>(read)) << std::get<XmlProblem>(read).message << "\n" << xml;
        const RegionDocument& back = std::get<RegionDocument>(read);
        EXPECT_EQ(back.format, format);

        // The word without a line comes back as a line of its own, last.
        std::vector<std::string> lineIds;
        for (const Region& r : back.lines) lineIds.push_back(r.id);
        ASSERT_EQ(lineIds, (std::vector<std::string>{"l3", "l7", "l12", "l15", "w50_line"}));
        for (std::size_t i = 0; i < doc.lines.size(); ++i) {
            EXPECT_EQ(back.lines[i].polygon, doc.lines[i].polygon) << doc.lines[i].id;
            EXPECT_EQ(back.lines[i].baseline, doc.lines[i].baseline) << doc.lines[i].id;
        }
        EXPECT_EQ(back.lines[4].polygon, doc.words[7].polygon);

        // Every word once, with its shape, written inside its line (between
        // that line's element and the next one's), left to right. An ALTO
        // line needs a word: the line without one gets its own shape as one.
        const bool alto = format == RegionDocument::Format::Alto;
        std::vector<std::string> wordIds;
        for (const Region& r : back.words) wordIds.push_back(r.id);
        std::vector<std::string> expectedIds{"w22", "w21", "w23", "w31", "w32", "w33", "w41", "w50"};
        if (alto) expectedIds.insert(expectedIds.begin() + 7, "l15_word");
        ASSERT_EQ(wordIds, expectedIds);
        std::map<std::string, const Region*> written;
        for (const Region& r : doc.words) written[r.id] = &r;
        written["l15_word"] = &doc.lines[3];
        const std::map<std::string, std::size_t> expectedLine{{"w21", 0}, {"w22", 0}, {"w23", 0},
                                                              {"w31", 1}, {"w32", 1}, {"w33", 1},
                                                              {"w41", 2}, {"l15_word", 3}, {"w50", 4}};
        for (const Region& word : back.words) {
            ASSERT_TRUE(written.contains(word.id)) << word.id;
            EXPECT_EQ(word.polygon, written[word.id]->polygon) << word.id;
            written.erase(word.id);
            const std::size_t line = expectedLine.at(word.id);
            EXPECT_GT(word.line, back.lines[line].line) << word.id;
            if (line + 1 < back.lines.size()) {
                EXPECT_LT(word.line, back.lines[line + 1].line) << word.id;
            }
        }

        // The lines read back give each pixel of the map its own line, and
        // the words theirs, where one outline holds it. Where two do, lines
        // go by the nearer baseline, which favours the line whose body the
        // pixel is in: the descender's tip inside line 7 is lost to it, the
        // pixels of line 7 that line 3's outline spans are not. Words have
        // no baselines in either format, so the later one takes them.
        const std::vector<Region> backLines(back.lines.begin(), back.lines.begin() + 4);
        const Agreement onLines = agreement(lines, doc.lines, backLines, 1);
        EXPECT_EQ(onLines.lost, 0u);
        EXPECT_GT(onLines.own, 0u);
        EXPECT_GT(onLines.sharedLost, 0u);
        EXPECT_GT(onLines.sharedOwn, onLines.sharedLost);
        std::vector<Region> backWords = back.words;
        if (alto) backWords.erase(backWords.begin() + 7);
        const Agreement onWords = agreement(words, doc.words, backWords, 1);
        EXPECT_EQ(onWords.lost, 0u);
        EXPECT_GT(onWords.own, 0u);
    }
}
