#include "eval/scores.h"
#include "run/report.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <limits>
#include <locale>
#include <stdexcept>
#include <string>
#include <variant>

namespace corvanel {
namespace {

// ---------------------------------------------------------------- percent text

TEST(PercentText, TruncatesToTwoDecimals) {
    struct Case {
        Int128 numerator, denominator;
        const char* expected;
    };
    const Case cases[] = {
        {2300, 24, "95.83%"}, {200, 3, "66.66%"},      {90, 1, "90.00%"},   {0, 7, "0.00%"},
        {25, 2, "12.50%"},    {49, 16, "3.06%"},       {1900, 21, "90.47%"}, {1, 16, "0.06%"},
        {39, 4, "9.75%"},     {99999, 1000, "99.99%"}, {150, 1, "150.00%"}, {2001, 2, "1000.50%"},
        {201, 2, "100.50%"},  {-1, 3, "-0.33%"},       {1, -800, "-0.00%"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(percentText(c.numerator, c.denominator), c.expected)
            << static_cast<double>(c.numerator) << " / " << static_cast<double>(c.denominator);
}

TEST(PercentText, ExactlyHundredHasOneDecimal) { EXPECT_EQ(percentText(100, 1), "100.0%"); }

TEST(PercentText, JustAboveHundredKeepsTwoDecimals) {
    EXPECT_EQ(percentText(1601, 16), "100.06%");
    EXPECT_EQ(percentText(3203, 32), "100.09%");
}

// The double nearest a rate may lie just below it; the text is truncated
// from the rate itself. 3 of 125 is exactly 2.40%, the double 2.3999999...
TEST(PercentText, TruncatesTheExactRateNotTheNearestDouble) {
    const Rates r = computeRates(Counts{.N = 125, .M = 125, .one2one = 3}, Weights{});
    ASSERT_LT((*r.DR - 2) * 100, 40.0) << "the double is no longer below: pick another case";
    EXPECT_EQ(pageRateTexts(r).dr, "2.40%");
    EXPECT_EQ(pageRateTexts(r).fm, "2.40%");
    EXPECT_EQ(batchRateTexts(r).ra, "2.40%");
    // Numerators beyond 64 bits.
    EXPECT_EQ(percentText((Int128{1} << 100) + 1, Int128{1} << 98), "4.00%");
}

// ---------------------------------------------------------------- %.2f

TEST(Fixed2, RoundsToTwoDecimals) {
    struct Case {
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {66.6667, "66.67"}, {200.0 / 3, "66.67"}, {-1, "-1.00"},    {0, "0.00"},
        {100, "100.00"},    {1900.0 / 21, "90.48"}, {2.0 * 90 * 75 / 165, "81.82"},
        {0.125, "0.12"},    {0.375, "0.38"},      {2.675, "2.67"},  {1e9, "1000000000.00"},
    };
    for (const Case& c : cases) EXPECT_EQ(fixed2(c.value), c.expected) << c.value;
}

// Sets a locale whose decimal separator is a comma, if one is installed, and
// restores the previous one on exit.
class CommaLocale {
public:
    CommaLocale() : savedC_(std::setlocale(LC_ALL, nullptr)), savedCpp_(std::locale()) {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8",
                                 "ru_RU.UTF-8", "de_DE", "fr_FR"}) {
            try {
                std::locale::global(std::locale(name));
            } catch (const std::runtime_error&) {
                continue;
            }
            if (std::string(std::localeconv()->decimal_point) == ",") {
                active_ = true;
                return;
            }
        }
        restore();
    }
    ~CommaLocale() { restore(); }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;
    bool active() const { return active_; }

private:
    void restore() {
        std::locale::global(savedCpp_);
        std::setlocale(LC_ALL, savedC_.c_str());
    }

    std::string savedC_;
    std::locale savedCpp_;
    bool active_ = false;
};

TEST(Fixed2, IgnoresTheProcessLocale) {
    // Without a comma locale on this machine the checks still hold in the current one.
    CommaLocale locale;
    RecordProperty("comma_locale", locale.active() ? "yes" : "no");
    EXPECT_EQ(fixed2(66.6667), "66.67");
    EXPECT_EQ(fixed2(-1), "-1.00");
    const Counts counts{.N = 10, .M = 12, .one2one = 9};
    EXPECT_EQ(reportRow(computeRates(counts, Weights{}), counts), "90.00\t75.00\t81.82\t10\t12\t9\t");
    EXPECT_EQ(percentText(181, 2), "90.50%");
}

// ---------------------------------------------------------------- rates and the report row

struct RatesCase {
    Counts counts;
    const char *dr, *ra, *fm;
    const char* row;
};

TEST(PageRates, TextsAndReportRow) {
    const RatesCase cases[] = {
        {{.N = 24, .M = 24, .one2one = 23}, "95.83%", "95.83%", "95.83%", "95.83\t95.83\t95.83\t24\t24\t23\t"},
        {{.N = 3, .M = 3, .one2one = 2}, "66.66%", "66.66%", "66.66%", "66.67\t66.67\t66.67\t3\t3\t2\t"},
        {{.N = 10, .M = 12, .one2one = 9}, "90.00%", "75.00%", "81.81%", "90.00\t75.00\t81.82\t10\t12\t9\t"},
        {{.N = 20, .M = 21, .one2one = 19}, "95.00%", "90.47%", "92.68%", "95.00\t90.48\t92.68\t20\t21\t19\t"},
        {{.N = 18, .M = 18, .one2one = 18}, "100.0%", "100.0%", "100.0%",
         "100.00\t100.00\t100.00\t18\t18\t18\t"},
        // DR + RA = 0: FM is 0, not undefined.
        {{.N = 3, .M = 4}, "0.00%", "0.00%", "0.00%", "0.00\t0.00\t0.00\t3\t4\t0\t"},
        {{.N = 0, .M = 5}, "--%", "0.00%", "--%", "-1.00\t0.00\t-1.00\t0\t5\t0\t"},
        {{.N = 4, .M = 0}, "0.00%", "--%", "--%", "0.00\t-1.00\t-1.00\t4\t0\t0\t"},
        {{}, "--%", "--%", "--%", "-1.00\t-1.00\t-1.00\t0\t0\t0\t"},
    };
    for (const RatesCase& c : cases) {
        SCOPED_TRACE(c.row);
        const Rates r = computeRates(c.counts, Weights{});
        const RateTexts t = pageRateTexts(r);
        EXPECT_EQ(t.dr, c.dr);
        EXPECT_EQ(t.ra, c.ra);
        EXPECT_EQ(t.fm, c.fm);
        EXPECT_EQ(reportRow(r, c.counts), c.row);
    }
}

TEST(PageRates, UndefinedRatesAreNoneAndZeroRatesAreZero) {
    const Rates r = computeRates(Counts{.N = 0, .M = 0}, Weights{});
    EXPECT_FALSE(r.DR);
    EXPECT_FALSE(r.RA);
    EXPECT_FALSE(r.FM);
    const Rates zero = computeRates(Counts{.N = 3, .M = 4}, Weights{});
    EXPECT_EQ(zero.FM, 0.0);
}

TEST(BatchRates, UndefinedScoresShowThreeHyphens) {
    struct Case {
        Counts counts;
        const char *dr, *ra, *fm;
    };
    const Case cases[] = {
        {{}, "---", "---", "---"},
        {{.N = 0, .M = 5}, "---", "0.00%", "---"},
        {{.N = 4, .M = 0, .one2one = 0}, "0.00%", "---", "---"},
        {{.N = 3, .M = 4}, "0.00%", "0.00%", "0.00%"},
        {{.N = 38, .M = 39, .one2one = 37}, "97.36%", "94.87%", "96.10%"},
    };
    for (const Case& c : cases) {
        const RateTexts t = batchRateTexts(computeRates(c.counts, Weights{}));
        EXPECT_EQ(t.dr, c.dr);
        EXPECT_EQ(t.ra, c.ra);
        EXPECT_EQ(t.fm, c.fm);
    }
}

TEST(Rates, EachWeightCountsItsOwnCounter) {
    // DR takes one2one, g_one2many, g_many2one; RA takes one2one, d_one2many, d_many2one.
    const Counts c{.N = 8, .M = 16, .one2one = 5, .g_one2many = 2, .g_many2one = 3, .d_one2many = 4,
                   .d_many2one = 6};
    const Weights w{100, 10, 1};
    const Rates r = computeRates(c, w);
    EXPECT_EQ(r.DR, 523.0 / 8);
    EXPECT_EQ(r.RA, 546.0 / 16);
    for (const RateTexts& t : {pageRateTexts(r), batchRateTexts(r)}) {
        EXPECT_EQ(t.dr, "65.37%");
        EXPECT_EQ(t.ra, "34.12%");
    }
}

TEST(Rates, LargeSumsDoNotOverflow) {
    // 100 x 30 million does not fit in 32 bits.
    const Counts c{.N = 30'000'000, .M = 40'000'000, .one2one = 30'000'000};
    const Rates r = computeRates(c, Weights{});
    EXPECT_EQ(batchRateTexts(r).dr, "100.0%");
    EXPECT_EQ(batchRateTexts(r).ra, "75.00%");
    EXPECT_EQ(reportRow(r, c), "100.00\t75.00\t85.71\t30000000\t40000000\t30000000\t");
}

TEST(Rates, WeightedSumsBeyondSixtyFourBitsDoNotOverflow) {
    // 2^31 - 1 times 5e9, three times over, is far beyond 2^63.
    const std::int64_t big = 5'000'000'000;
    const Counts c{.N = big, .M = big, .one2one = big, .g_one2many = big, .g_many2one = big,
                   .d_one2many = big, .d_many2one = big};
    const Weights w{2147483647, 2147483647, 2147483647};
    const Rates r = computeRates(c, w);
    EXPECT_DOUBLE_EQ(r.DR.value_or(0), 3.0 * 2147483647);
    EXPECT_DOUBLE_EQ(r.RA.value_or(0), 3.0 * 2147483647);
}

// ---------------------------------------------------------------- threshold and weight texts

TEST(ParseThreshold, WholeNumbersOrNinetyFive) {
    struct Case {
        const char* text;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"90", 90},
        {"1", 1},
        {"0", 0},
        {"-5", -5},
        {"090", 90},
        {" 90", 90},
        {"+90", 90},
        {"2147483647", std::numeric_limits<std::int32_t>::max()},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
        {"abc", 95},
        {"", 95},
        {" ", 95},
        {"90 ", 95},
        {"9x", 95},
        {"9 0", 95},
        {"90.0", 95},
        {"1e2", 95},
        {"0x1A", 95},
        {"+", 95},
        {"-", 95},
        {"+-5", 95},
        {"2147483648", 95},
        {"99999999999", 95},
    };
    for (const Case& c : cases) EXPECT_EQ(parseThreshold(c.text), c.expected) << "'" << c.text << "'";
}

TEST(ThresholdProblem, RefusesBelowOne) {
    EXPECT_EQ(thresholdProblem(1), "");
    EXPECT_EQ(thresholdProblem(90), "");
    EXPECT_EQ(thresholdProblem(0), "MC_thres(%) must be at least 1 (it is 0); nothing was evaluated");
    EXPECT_EQ(thresholdProblem(-5), "MC_thres(%) must be at least 1 (it is -5); nothing was evaluated");
}

TEST(ParseWeights, ReadsW1WholeAndW2W3TruncatedTowardZero) {
    struct Case {
        WeightTexts texts;
        std::int64_t w1, w2, w3;
    };
    const Case cases[] = {
        {{}, 100, 0, 0},
        {{"150", "0", "0"}, 150, 0, 0},
        {{" +7", "0", "0"}, 7, 0, 0},
        {{"100", "2.9", "-2.9"}, 100, 2, -2},
        {{"100", "1e2", "-0.9"}, 100, 100, 0},
        {{"100", ".5", "5."}, 100, 0, 5},
        {{"-100", "+3", "2147483647.5"}, -100, 3, 2147483647},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.texts.one2one + " / " + c.texts.one2many + " / " + c.texts.many2one);
        const auto parsed = parseWeights(c.texts);
        const Weights* w = std::get_if<Weights>(&parsed);
        ASSERT_NE(w, nullptr) << std::get<std::string>(parsed);
        EXPECT_EQ(w->w1, c.w1);
        EXPECT_EQ(w->w2, c.w2);
        EXPECT_EQ(w->w3, c.w3);
    }
}

TEST(ParseWeights, TextsThatAreNotNumbersNameThemselves) {
    struct Case {
        WeightTexts texts;
        const char* message;
    };
    const Case cases[] = {
        {{"abc", "0", "0"}, "'abc' is not a valid integer value"},
        {{"1.5", "0", "0"}, "'1.5' is not a valid integer value"},
        {{"", "0", "0"}, "'' is not a valid integer value"},
        {{"99999999999", "0", "0"}, "'99999999999' is not a valid integer value"},
        {{"x", "y", "z"}, "'x' is not a valid integer value"},
        {{"100", "abc", "0"}, "'abc' is not a valid floating point value"},
        {{"100", "0", ""}, "'' is not a valid floating point value"},
        {{"100", "1,5", "0"}, "'1,5' is not a valid floating point value"},
        {{"100", "inf", "0"}, "'inf' is not a valid floating point value"},
        {{"100", "0", "nan"}, "'nan' is not a valid floating point value"},
        {{"100", "0", "2.5x"}, "'2.5x' is not a valid floating point value"},
        {{"100", "y", "z"}, "'y' is not a valid floating point value"},
        {{"100", "1e20", "0"}, "'1e20' is out of range for a weight"},
        {{"100", "0", "-3e9"}, "'-3e9' is out of range for a weight"},
    };
    for (const Case& c : cases) {
        const auto parsed = parseWeights(c.texts);
        const std::string* message = std::get_if<std::string>(&parsed);
        ASSERT_NE(message, nullptr) << c.message;
        EXPECT_EQ(*message, c.message);
    }
}

}  // namespace
}  // namespace corvanel
