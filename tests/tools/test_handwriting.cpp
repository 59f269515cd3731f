// Handwriting pages: ground truth as a contest's is made (only ink labelled,
// every word inside one line), the ink image as written, and writers that
// differ from page to page.

#include "tools/handwriting.h"
#include "tests/support/test_support.h"
#include "tools/workspace.h"

#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace corvanel::synth {
namespace {

PageLayout layoutFor(std::uint64_t seed) {
    PageLayout layout;
    layout.width = 900;
    layout.height = 1100;
    layout.lines = 9;
    layout.wordsPerLine = 5;
    layout.seed = seed;
    layout.style = PageStyle::Handwriting;
    return layout;
}

// Two lines touch when a pixel of one is 8-adjacent to a pixel of another.
bool linesTouch(const LabelMap& lines) {
    for (std::int32_t y = 1; y < lines.height(); ++y)
        for (std::int32_t x = 1; x + 1 < lines.width(); ++x) {
            const std::int32_t v = lines.at(x, y);
            if (v == 0) continue;
            for (std::int32_t dx = -1; dx <= 1; ++dx) {
                const std::int32_t u = lines.at(x + dx, y - 1);
                if (u != 0 && u != v) return true;
            }
        }
    return false;
}

TEST(Handwriting, GroundTruthLabelsOnlyInkAndEveryWordLiesInOneLine) {
    ASSERT_FALSE(handwritingFamilies().isEmpty()) << "the install script installs the handwriting fonts";
    testing::TempDir dir("corvanel-handwriting");
    int touching = 0;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        const PageLayout layout = layoutFor(seed);
        const SyntheticPage page = makeHandwrittenPage(layout);
        std::map<std::int32_t, std::int32_t> lineOf;
        std::set<std::int32_t> lines;
        for (std::size_t i = 0; i < page.gtWords.pixelCount(); ++i) {
            const std::int32_t w = page.gtWords.data()[i], l = page.gtLines.data()[i];
            ASSERT_EQ(w == 0, l == 0) << "pixel " << i;
            if (w == 0) continue;
            const auto [it, fresh] = lineOf.emplace(w, l);
            ASSERT_EQ(it->second, l) << "word " << w << " in two lines";
            lines.insert(l);
        }
        // Labels are 1..N in reading order, so word labels rise with line labels.
        ASSERT_FALSE(lineOf.empty());
        EXPECT_EQ(lineOf.rbegin()->first, static_cast<std::int32_t>(lineOf.size()));
        EXPECT_EQ(*lines.rbegin(), static_cast<std::int32_t>(lines.size()));
        EXPECT_TRUE(std::is_sorted(lineOf.begin(), lineOf.end(),
                                   [](const auto& a, const auto& b) { return a.second < b.second; }));
        EXPECT_EQ(lines.size(), 9u) << "seed " << seed;
        EXPECT_GE(lineOf.size(), 9u * 2) << "seed " << seed;
        EXPECT_LE(lineOf.size(), 9u * 10) << "seed " << seed;
        touching += linesTouch(page.gtLines);

        // The page image holds exactly the labelled pixels and the specks.
        ASSERT_FALSE(page.specks.empty());
        const auto tif = dir.path() / "page.tif";
        ASSERT_TRUE(writeInkImage(tif, page.gtWords, page.specks));
        const QImage ink = QImage(QString::fromStdString(tif.string())).convertToFormat(QImage::Format_Grayscale8);
        ASSERT_EQ(ink.width(), layout.width);
        std::size_t expectedSpeck = 0;
        for (std::int32_t y = 0; y < layout.height; ++y)
            for (std::int32_t x = 0; x < layout.width; ++x) {
                const std::size_t at = static_cast<std::size_t>(y) * 900 + x;
                const bool speck = expectedSpeck < page.specks.size() && page.specks[expectedSpeck] == at;
                expectedSpeck += speck;
                ASSERT_EQ(ink.pixelColor(x, y).value() < 128, speck || page.gtWords.data()[at] != 0)
                    << "seed " << seed << " at " << x << "," << y;
                if (speck) {
                    ASSERT_EQ(page.gtWords.data()[at], 0);
                }
            }
    }
    // Some writers crowd their lines until they touch, others do not.
    EXPECT_GT(touching, 0);
    EXPECT_LT(touching, 6);
}

TEST(Handwriting, ASeedGivesOnePageAndTheResultIsImperfect) {
    const SyntheticPage a = makeHandwrittenPage(layoutFor(3)), b = makeHandwrittenPage(layoutFor(3));
    const SyntheticPage c = makeHandwrittenPage(layoutFor(4));
    auto same = [](const LabelMap& x, const LabelMap& y) {
        return std::equal(x.data(), x.data() + x.pixelCount(), y.data());
    };
    EXPECT_TRUE(same(a.gtWords, b.gtWords));
    EXPECT_TRUE(same(a.rsLines, b.rsLines));
    EXPECT_FALSE(same(a.gtWords, c.gtWords));
    EXPECT_FALSE(same(a.gtLines, a.rsLines));
}

}  // namespace
}  // namespace corvanel::synth
