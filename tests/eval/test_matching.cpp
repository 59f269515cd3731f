#include "eval/evaluate.h"
#include "run/report.h"
#include "run/workspace.h"

#include <gtest/gtest.h>

#include "tests/support/map_builder.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace corvanel {

// Readable failures; internal linkage so other test files may print these their own way.
static void PrintTo(const Counts& c, std::ostream* os) {
    *os << "{N=" << c.N << " M=" << c.M << " one2one=" << c.one2one << " g_one2many=" << c.g_one2many
        << " g_many2one=" << c.g_many2one << " d_one2many=" << c.d_one2many
        << " d_many2one=" << c.d_many2one << "}";
}
static void PrintTo(const MatchedPair& p, std::ostream* os) {
    *os << "(gt " << p.gtLabel << ", result " << p.rsLabel << ", score " << p.score << ")";
}
static void PrintTo(const MatchedGroup& g, std::ostream* os) {
    *os << g.centre << ":{";
    for (std::int32_t m : g.members) *os << " " << m;
    *os << " }";
}

namespace {

namespace fs = std::filesystem;
using corvanel::testing::TempDir;
using corvanel::testing::readBytes;
using corvanel::testing::writeBytes;
using Labels = std::vector<std::int32_t>;
using Pairs = std::vector<MatchedPair>;
using Groups = std::vector<MatchedGroup>;

// A one-row map from runs of (label, length).
LabelMap row(std::initializer_list<std::pair<std::int32_t, std::int32_t>> runs) {
    std::int32_t width = 0;
    for (const auto& run : runs) width += run.second;
    LabelMap map(width, 1);
    std::int32_t* out = map.data();
    for (const auto& [label, length] : runs) out = std::fill_n(out, length, label);
    return map;
}

LabelMap grid(std::int32_t width, std::int32_t height, const Labels& labels) {
    LabelMap map(width, height);
    std::copy(labels.begin(), labels.end(), map.data());
    return map;
}

PageEvaluation evaluate(const LabelMap& gt, const LabelMap& rs, std::int32_t T, Weights w = {}) {
    PageEvaluation e = evaluateMaps(gt, rs, T, w);
    EXPECT_TRUE(e.success);
    EXPECT_TRUE(e.failures.empty());
    return e;
}

// ---------------------------------------------------------------- one-to-one

TEST(Matching, EqualMapsWithOtherLabelsMatchEveryRegion) {
    const LabelMap gt = grid(4, 2, {1, 1, 0, 2, 1, 0, 2, 2});
    const LabelMap rs = grid(4, 2, {5, 5, 0, 9, 5, 0, 9, 9});
    const PageEvaluation e = evaluate(gt, rs, 90);
    EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 2, .one2one = 2}));
    EXPECT_EQ(pageRateTexts(e.rates).dr, "100.0%");
    EXPECT_EQ(pageRateTexts(e.rates).ra, "100.0%");
    EXPECT_EQ(pageRateTexts(e.rates).fm, "100.0%");
    EXPECT_EQ(reportRow(e.rates, e.counts), "100.00\t100.00\t100.00\t2\t2\t2\t");
}

TEST(Matching, EqualMapsPairLabelsByPixelsNotByNumber) {
    // Ground truth 1, 2, 3 lie where the result has 7, 9, 4.
    const LabelMap gt = row({{1, 3}, {0, 2}, {2, 4}, {3, 1}});
    const LabelMap rs = row({{7, 3}, {0, 2}, {9, 4}, {4, 1}});
    const PageEvaluation e = evaluate(gt, rs, 90);
    EXPECT_EQ(e.counts, (Counts{.N = 3, .M = 3, .one2one = 3}));
    EXPECT_EQ(e.detail.one2one, (Pairs{{1, 7, 100}, {2, 9, 100}, {3, 4, 100}}));
    EXPECT_TRUE(e.detail.unmatchedGt.empty());
    EXPECT_TRUE(e.detail.unmatchedResult.empty());
}

TEST(Matching, ThresholdIsComparedWithTheScoreAgainstTheLargerArea) {
    struct Case {
        std::int32_t resultArea;  // holds the whole 90-pixel ground-truth region
        std::int32_t T;
        std::int32_t one2one;
        std::int32_t score;  // truncated
    };
    const Case cases[] = {
        {100, 90, 1, 90},  // exactly 90.0
        {101, 90, 0, 89},  // 89.108...
        {101, 89, 1, 89},
        {100, 91, 0, 90},
        {90, 100, 1, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.resultArea << " px, T=" << c.T);
        const LabelMap gt = row({{1, 90}, {0, c.resultArea - 90}});
        const LabelMap rs = row({{5, c.resultArea}});
        const PageEvaluation e = evaluate(gt, rs, c.T);
        EXPECT_EQ(e.counts, (Counts{.N = 1, .M = 1, .one2one = c.one2one}));
        if (c.one2one == 1) {
            EXPECT_EQ(e.detail.one2one, (Pairs{{1, 5, c.score}}));
        } else {
            // Alone and below T, the pair forms no group either.
            EXPECT_TRUE(e.detail.one2one.empty());
            EXPECT_TRUE(e.detail.gtCentred.empty());
            EXPECT_TRUE(e.detail.resultCentred.empty());
            EXPECT_EQ(e.detail.unmatchedGt, (Labels{1}));
            EXPECT_EQ(e.detail.unmatchedResult, (Labels{5}));
        }
    }
}

// ---------------------------------------------------------------- groups

TEST(Matching, ResultCoveringTwoGroundTruthRegionsFormsAResultCentredGroup) {
    const LabelMap gt = row({{1, 100}, {2, 100}});
    const LabelMap rs = row({{3, 200}});
    const PageEvaluation e = evaluate(gt, rs, 90);
    EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 1, .g_one2many = 1, .d_many2one = 2}));
    EXPECT_EQ(e.detail.resultCentred, (Groups{{3, {1, 2}}}));
    EXPECT_TRUE(e.detail.gtCentred.empty());
    EXPECT_TRUE(e.detail.unmatchedGt.empty());
    EXPECT_TRUE(e.detail.unmatchedResult.empty());
    EXPECT_EQ(pageRateTexts(e.rates).dr, "0.00%");
    EXPECT_EQ(pageRateTexts(e.rates).ra, "0.00%");
    EXPECT_EQ(pageRateTexts(e.rates).fm, "0.00%");
    EXPECT_EQ(reportRow(e.rates, e.counts), "0.00\t0.00\t0.00\t2\t1\t0\t");
}

TEST(Matching, GroundTruthSplitInTwoFormsAGroundTruthCentredGroup) {
    const LabelMap gt = row({{4, 200}});
    const LabelMap rs = row({{1, 100}, {2, 100}});
    const PageEvaluation e = evaluate(gt, rs, 90);
    EXPECT_EQ(e.counts, (Counts{.N = 1, .M = 2, .g_many2one = 2, .d_one2many = 1}));
    EXPECT_EQ(e.detail.gtCentred, (Groups{{4, {1, 2}}}));
    EXPECT_TRUE(e.detail.resultCentred.empty());
    EXPECT_TRUE(e.detail.one2one.empty());
}

TEST(Matching, GroupWeightsReachTheRatesThroughTheirOwnCounts) {
    // The result-centred group above: g_one2many = 1 counts for DR, d_many2one = 2 for RA.
    const LabelMap gt = row({{1, 100}, {2, 100}});
    const LabelMap rs = row({{3, 200}});
    const PageEvaluation e = evaluate(gt, rs, 90, Weights{100, 50, 25});
    EXPECT_EQ(pageRateTexts(e.rates).dr, "25.00%");
    EXPECT_EQ(pageRateTexts(e.rates).ra, "50.00%");
    EXPECT_EQ(reportRow(e.rates, e.counts), "25.00\t50.00\t33.33\t2\t1\t0\t");
}

TEST(Matching, ScoresBelowFiveNeverJoinAGroup) {
    // Ground truth 1 (100 px) holds result 1 (45 px), result 2 (45 px) and
    // result 3 (4 px, score 4); 6 px of it are result background.
    const LabelMap gt = row({{1, 100}});
    const LabelMap rs = row({{1, 45}, {2, 45}, {3, 4}, {0, 6}});
    {
        SCOPED_TRACE("T=91: 45 + 45 falls short, and the 4 must not make up the difference");
        const PageEvaluation e = evaluate(gt, rs, 91);
        EXPECT_EQ(e.counts, (Counts{.N = 1, .M = 3}));
        EXPECT_EQ(e.detail.unmatchedGt, (Labels{1}));
        EXPECT_EQ(e.detail.unmatchedResult, (Labels{1, 2, 3}));
    }
    {
        SCOPED_TRACE("T=90: the group forms without the 4");
        const PageEvaluation e = evaluate(gt, rs, 90);
        EXPECT_EQ(e.counts, (Counts{.N = 1, .M = 3, .g_many2one = 2, .d_one2many = 1}));
        EXPECT_EQ(e.detail.gtCentred, (Groups{{1, {1, 2}}}));
        EXPECT_EQ(e.detail.unmatchedResult, (Labels{3}));
    }
}

TEST(Matching, AScoreOfFiveJoinsAGroupAndFourDoesNot) {
    // Ground truth 1 (101 px): result 1 takes 91 px (score 90.09), result 2 takes
    // 5 px (score 4.95) or 6 px (score 5.94). At T=91 result 1 alone falls short.
    const LabelMap gt = row({{1, 101}});
    EXPECT_TRUE(evaluate(gt, row({{1, 91}, {2, 5}, {0, 5}}), 91).detail.gtCentred.empty());
    EXPECT_EQ(evaluate(gt, row({{1, 91}, {2, 6}, {0, 4}}), 91).detail.gtCentred, (Groups{{1, {1, 2}}}));
}

TEST(Matching, GroupSumsAddTruncatedScores) {
    // Ground truth 1 (11 px) split 5 / 6: scores 45.45 and 54.54, truncated 45 + 54 = 99.
    const LabelMap gt = row({{1, 11}});
    const LabelMap rs = row({{1, 5}, {2, 6}});
    EXPECT_EQ(evaluate(gt, rs, 100).counts, (Counts{.N = 1, .M = 2}));
    EXPECT_EQ(evaluate(gt, rs, 99).counts, (Counts{.N = 1, .M = 2, .g_many2one = 2, .d_one2many = 1}));
}

TEST(Matching, GroundTruthCentredGroupsComeBeforeResultCentredOnes) {
    // Ground truth 1 (100 px) is split between results 1 and 2; result 2 also
    // covers ground truth 2. All three scores are 50.
    const LabelMap gt = row({{1, 100}, {2, 50}});
    const LabelMap rs = row({{1, 50}, {2, 100}});
    const PageEvaluation e = evaluate(gt, rs, 90);
    EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 2, .g_many2one = 2, .d_one2many = 1}));
    EXPECT_EQ(e.detail.gtCentred, (Groups{{1, {1, 2}}}));
    EXPECT_TRUE(e.detail.resultCentred.empty());
    EXPECT_EQ(e.detail.unmatchedGt, (Labels{2}));
}

// ---------------------------------------------------------------- several partners at T below 50

TEST(Matching, ResultReachingTwoGroundTruthRegionsGoesToTheBestScore) {
    struct Case {
        const char* what;
        std::int32_t areaA, areaB;
        MatchedPair pair;
        std::int32_t unmatched;
    };
    const Case cases[] = {
        {"equal scores: the lower index wins", 50, 50, {1, 8, 50}, 2},
        {"the higher score wins, leaving the region it was found from free", 45, 55, {2, 8, 55}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LabelMap gt = row({{1, c.areaA}, {2, c.areaB}});
        const LabelMap rs = row({{8, 100}});
        const PageEvaluation e = evaluate(gt, rs, 40);
        EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 1, .one2one = 1}));
        EXPECT_EQ(e.detail.one2one, (Pairs{c.pair}));
        EXPECT_EQ(e.detail.unmatchedGt, (Labels{c.unmatched}));
        EXPECT_TRUE(e.detail.resultCentred.empty());
    }
}

TEST(Matching, ResultIsNotGivenToARegionThatPrefersAnotherResult) {
    // Ground truth 1 (20 px) lies in result 1 (60 px); ground truth 2 (100 px)
    // has 40 px in result 1 and 60 px in result 2. Scores: (1,1) 33, (2,1) 40,
    // (2,2) 60. Ground truth 2 scores higher with result 1 than ground truth 1
    // does, but its own best is result 2, so result 1 goes to ground truth 1 and
    // ground truth 2 then takes result 2.
    const LabelMap gt = row({{1, 20}, {2, 100}});
    const LabelMap rs = row({{1, 60}, {2, 60}});
    const PageEvaluation e = evaluate(gt, rs, 30);
    EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 2, .one2one = 2}));
    EXPECT_EQ(e.detail.one2one, (Pairs{{1, 1, 33}, {2, 2, 60}}));
    EXPECT_TRUE(e.detail.unmatchedGt.empty());
    EXPECT_TRUE(e.detail.unmatchedResult.empty());
}

TEST(Matching, AGroundTruthRegionAlreadyTakenCanBeChosenAgain) {
    // Ground truth 2 (100 px) straddles results 1 and 2 (80 px each), which
    // also hold ground truth 1 and 3 (30 px each). Ground truth 2 scores 50 with
    // both results, above the 37 of its neighbours, so it wins result 1 and,
    // already taken, result 2 as well: two matches, ground truth 1 and 3 free.
    const LabelMap gt = row({{1, 30}, {2, 100}, {3, 30}});
    const LabelMap rs = row({{1, 80}, {2, 80}});
    const PageEvaluation e = evaluate(gt, rs, 30);
    EXPECT_EQ(e.counts, (Counts{.N = 3, .M = 2, .one2one = 2}));
    EXPECT_EQ(e.detail.one2one, (Pairs{{2, 1, 50}, {2, 2, 50}}));
    EXPECT_EQ(e.detail.unmatchedGt, (Labels{1, 3}));
    EXPECT_TRUE(e.detail.unmatchedResult.empty());
    EXPECT_EQ(pageRateTexts(e.rates).dr, "66.66%");
    EXPECT_EQ(pageRateTexts(e.rates).ra, "100.0%");
}

TEST(Matching, GroundTruthReachingTwoResultsTakesTheHigherScore) {
    struct Case {
        const char* what;
        std::initializer_list<std::pair<std::int32_t, std::int32_t>> runs;
        MatchedPair pair;
        std::int32_t unmatched;
    };
    const Case cases[] = {
        {"60 / 40, the 60 with the higher label", {{4, 40}, {9, 60}}, {1, 9, 60}, 4},
        {"60 / 40, the 60 with the lower label", {{4, 60}, {9, 40}}, {1, 4, 60}, 9},
        {"50 / 50: the lower index wins", {{4, 50}, {9, 50}}, {1, 4, 50}, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LabelMap gt = row({{1, 100}});
        const LabelMap rs = row(c.runs);
        const PageEvaluation e = evaluate(gt, rs, 40);
        EXPECT_EQ(e.counts, (Counts{.N = 1, .M = 2, .one2one = 1}));
        EXPECT_EQ(e.detail.one2one, (Pairs{c.pair}));
        EXPECT_EQ(e.detail.unmatchedResult, (Labels{c.unmatched}));
        EXPECT_TRUE(e.detail.resultCentred.empty());
    }
}

TEST(Matching, GroundTruthMayTakeAResultAlreadyTaken) {
    // Ground truth 1 (70 px): 30 px in result 2, 40 px in result 1 (90 px), which
    // also holds ground truth 2 (50 px). Scores: (1,1) 44, (1,2) 42, (2,1) 55.
    // Result 1 goes to ground truth 2; ground truth 1 then still takes its best,
    // result 1, although it is taken, and result 2 stays free.
    const LabelMap gt = row({{1, 70}, {2, 50}});
    const LabelMap rs = row({{2, 30}, {1, 90}});
    const PageEvaluation e = evaluate(gt, rs, 30);
    EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 2, .one2one = 2}));
    EXPECT_EQ(e.detail.one2one, (Pairs{{2, 1, 55}, {1, 1, 44}}));
    EXPECT_TRUE(e.detail.unmatchedGt.empty());
    EXPECT_EQ(e.detail.unmatchedResult, (Labels{2}));
}

// ---------------------------------------------------------------- empty sides and sizes

TEST(Matching, EmptySidesLeaveTheirRatesUndefined) {
    struct Case {
        const char* what;
        LabelMap gt, rs;
        Counts counts;
        const char *dr, *ra, *fm, *row;
    };
    const Case cases[] = {
        {"ground truth of zeros", row({{0, 4}}), row({{3, 2}, {0, 2}}), Counts{.N = 0, .M = 1},
         "--%", "0.00%", "--%", "-1.00\t0.00\t-1.00\t0\t1\t0\t"},
        {"result of zeros", row({{3, 2}, {5, 2}}), row({{0, 4}}), Counts{.N = 2, .M = 0},
         "0.00%", "--%", "--%", "0.00\t-1.00\t-1.00\t2\t0\t0\t"},
        {"both of zeros", row({{0, 4}}), row({{0, 4}}), Counts{},
         "--%", "--%", "--%", "-1.00\t-1.00\t-1.00\t0\t0\t0\t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const PageEvaluation e = evaluate(c.gt, c.rs, 90);
        EXPECT_EQ(e.counts, c.counts);
        EXPECT_EQ(pageRateTexts(e.rates).dr, c.dr);
        EXPECT_EQ(pageRateTexts(e.rates).ra, c.ra);
        EXPECT_EQ(pageRateTexts(e.rates).fm, c.fm);
        EXPECT_EQ(reportRow(e.rates, e.counts), c.row);
    }
}

TEST(Matching, RegionsBeyondColumn9999AreCounted) {
    LabelMap gt(10005, 2), rs(10005, 2);
    std::fill_n(gt.data(), gt.pixelCount(), 0);
    std::fill_n(rs.data(), rs.pixelCount(), 0);
    std::fill_n(gt.data() + 10005 + 9999, 6, 3);
    std::fill_n(rs.data() + 10005 + 9999, 6, 8);
    const PageEvaluation e = evaluate(gt, rs, 90);
    EXPECT_EQ(e.counts, (Counts{.N = 1, .M = 1, .one2one = 1}));
}

TEST(Matching, OverlapsAbove21MillionPixelsDoNotOverflow) {
    // 100 x the shared pixels no longer fits in 32 bits here.
    LabelMap gt(4700, 4600), rs(4700, 4600);
    std::fill_n(gt.data(), gt.pixelCount(), 1);
    std::fill_n(rs.data(), rs.pixelCount(), 2);
    const PageEvaluation e = evaluate(gt, rs, 90);
    EXPECT_EQ(e.counts, (Counts{.N = 1, .M = 1, .one2one = 1}));
    EXPECT_EQ(e.detail.one2one, (Pairs{{1, 2, 100}}));
}

// ---------------------------------------------------------------- EvaluatePage on files

void writeMap(const fs::path& path, const Labels& labels, std::optional<PageSize> header = std::nullopt) {
    const std::string bytes = testing::labelMapBytes(labels, header);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class EvaluatePageOnFiles : public ::testing::Test {
protected:
    fs::path map(const char* kind, const char* level) const {
        return ws_.path() / kind / level / "p01.png.dat";
    }

    PageRequest request(Level level = Level::Lines) const {
        const Workspace workspace(ws_.path());
        PageRequest r;
        r.pageName = "p01.png";
        r.gtMap = workspace.mapPath(MapKind::GroundTruth, level, r.pageName);
        r.rsMap = workspace.mapPath(MapKind::Result, level, r.pageName);
        r.size = {4, 2};
        r.threshold = 90;
        return r;
    }

    // Two regions, matched one to one.
    const Labels gtLines_{1, 1, 0, 2, 1, 0, 2, 2};
    const Labels rsLines_{5, 5, 0, 9, 5, 0, 9, 9};
    TempDir ws_;
};

TEST_F(EvaluatePageOnFiles, ReadsBothMapsAtTheChosenLevel) {
    writeMap(map("gt", "lines"), gtLines_);
    writeMap(map("results", "lines"), rsLines_);
    // At word level one result region covers both ground-truth regions.
    writeMap(map("gt", "words"), {1, 1, 0, 2, 1, 0, 2, 2});
    writeMap(map("results", "words"), {3, 3, 0, 3, 3, 0, 3, 3});

    PageRequest r = request();
    PageEvaluation e = EvaluatePage(r);
    ASSERT_TRUE(e.success);
    EXPECT_TRUE(e.failures.empty());
    EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 2, .one2one = 2}));
    EXPECT_EQ(reportRow(e.rates, e.counts), "100.00\t100.00\t100.00\t2\t2\t2\t");
    EXPECT_EQ(e.size, (PageSize{4, 2}));

    e = EvaluatePage(request(Level::Words));
    ASSERT_TRUE(e.success);
    EXPECT_EQ(e.counts, (Counts{.N = 2, .M = 1, .g_one2many = 1, .d_many2one = 2}));
    }

TEST_F(EvaluatePageOnFiles, UnreadableMapsFailWithTheReadersMessage) {
    struct Case {
        const char* what;
        std::optional<Labels> gt, rs;  // nullopt: no file
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"result missing", gtLines_, std::nullopt, {}},
        {"result one label short", gtLines_, Labels{5, 5, 0, 9, 5, 0, 9}, {"Problem with file p01.png.dat"}},
        {"result with a negative label", gtLines_, Labels{5, 5, 0, 9, 5, -2, 9, 9},
         {"Problem with file p01.png.dat: negative label -2 at x=1, y=1"}},
        {"ground truth missing", std::nullopt, rsLines_, {}},
        {"ground truth short", Labels{1}, rsLines_, {"Problem with file p01.png.dat"}},
        // The result is not read once the ground truth failed.
        {"ground truth missing, result short", std::nullopt, Labels{1}, {}},
        // Negative labels are found after both reads; the ground truth is still named first.
        {"ground truth with a negative label", Labels{1, 1, 0, 2, -7, 0, 2, 2}, rsLines_,
         {"Problem with file p01.png.dat: negative label -7 at x=0, y=1"}},
        {"both with negative labels", Labels{-1, 1, 0, 2, 1, 0, 2, 2}, Labels{5, 5, 0, 9, 5, -2, 9, 9},
         {"Problem with file p01.png.dat: negative label -1 at x=0, y=0"}},
        {"ground truth negative, result missing", Labels{1, 1, 0, 2, 1, 0, 2, -3}, std::nullopt,
         {"Problem with file p01.png.dat: negative label -3 at x=3, y=1"}},
        {"ground truth negative, result short", Labels{1, 1, 0, 2, 1, 0, 2, -3}, Labels{1},
         {"Problem with file p01.png.dat: negative label -3 at x=3, y=1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(ws_.path() / "gt");
        fs::remove_all(ws_.path() / "results");
        if (c.gt) writeMap(map("gt", "lines"), *c.gt);
        if (c.rs) writeMap(map("results", "lines"), *c.rs);
        const PageEvaluation e = EvaluatePage(request());
        EXPECT_FALSE(e.success);
        EXPECT_FALSE(e.fatal);
        EXPECT_EQ(boxTexts(e.failures), c.messages);
            }
}

TEST_F(EvaluatePageOnFiles, HeadersGiveThePageSize) {
    writeMap(map("gt", "lines"), gtLines_, PageSize{4, 2});
    writeMap(map("results", "lines"), rsLines_, PageSize{4, 2});
    PageRequest r = request();
    r.readHeader = true;
    r.size = {640, 480};
    const PageEvaluation e = EvaluatePage(r);
    ASSERT_TRUE(e.success);
    EXPECT_EQ(e.size, (PageSize{4, 2}));
    EXPECT_EQ(e.counts.one2one, 2);
}

TEST_F(EvaluatePageOnFiles, MapsOfDifferentSizesAreNotCompared) {
    // Same number of labels, different shapes.
    writeMap(map("gt", "lines"), gtLines_, PageSize{4, 2});
    writeMap(map("results", "lines"), rsLines_, PageSize{2, 4});
    PageRequest r = request();
    r.readHeader = true;
    const PageEvaluation e = EvaluatePage(r);
    EXPECT_FALSE(e.success);
    EXPECT_EQ(boxTexts(e.failures), (std::vector<std::string>{
                              "Label maps of different sizes for p01.png: ground truth 4x2, result 2x4; "
                              "the page was not evaluated"}));
    }

TEST_F(EvaluatePageOnFiles, ThresholdBelowOneIsRefused) {
    writeMap(map("gt", "lines"), gtLines_);
    writeMap(map("results", "lines"), rsLines_);
    for (std::int32_t T : {0, -1}) {
        SCOPED_TRACE(T);
        PageRequest r = request();
        r.threshold = T;
        const PageEvaluation e = EvaluatePage(r);
        EXPECT_FALSE(e.success);
        EXPECT_EQ(boxTexts(e.failures), (std::vector<std::string>{"MC_thres(%) must be at least 1 (it is " +
                                                        std::to_string(T) + "); nothing was evaluated"}));
            }
    PageRequest r = request();
    r.threshold = 1;
    EXPECT_TRUE(EvaluatePage(r).success);
}

TEST_F(EvaluatePageOnFiles, WeightTextsAreRead) {
    writeMap(map("gt", "lines"), gtLines_);
    writeMap(map("results", "lines"), {5, 5, 0, 0, 5, 0, 0, 0});  // one of two regions found
    PageRequest r = request();
    r.weights = std::get<Weights>(parseWeights({"150", "0", "0"}));
    PageEvaluation e = EvaluatePage(r);
    ASSERT_TRUE(e.success);
    EXPECT_EQ(pageRateTexts(e.rates).dr, "75.00%");
    EXPECT_EQ(pageRateTexts(e.rates).ra, "150.00%");

    EXPECT_EQ(std::get<std::string>(parseWeights({"abc", "0", "0"})), "'abc' is not a valid integer value");
}

}  // namespace
}  // namespace corvanel
