#pragma once

#include "eval/matching.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvanel {

// For sums of weighted counts, which outgrow 64 bits.
__extension__ typedef __int128 Int128;

// A whole decimal number in 32-bit range: optional leading blanks, an
// optional sign, digits, nothing after.
std::optional<std::int32_t> parseWholeNumber(std::string_view text);

// The threshold as "MC_thres(%)" holds it: a text that is not a whole number gives 95.
std::int32_t parseThreshold(std::string_view text);

// Message for a threshold that cannot be used, or empty when T >= 1.
std::string thresholdProblem(std::int32_t T);

// The three weight texts as the weight fields hold them.
struct WeightTexts {
    std::string one2one = "100";
    std::string one2many = "0";
    std::string many2one = "0";
};

struct Weights {
    std::int64_t w1 = 100;
    std::int64_t w2 = 0;
    std::int64_t w3 = 0;
};

// w1 is read as a whole number, w2 and w3 as decimal numbers truncated toward
// zero. A text that is neither gives a message naming it.
std::variant<Weights, std::string> parseWeights(const WeightTexts& texts);

// The rate numerator / denominator percent (denominator not 0), truncated
// toward zero to two decimals from its exact value; "100.0%" for exactly
// 100 ("95.83%", "0.00%", 3 / 125 x 100 "2.40%").
std::string percentText(Int128 numerator, Int128 denominator);

// "%.2f" regardless of the process locale.
std::string fixed2(double value);

// In percent; none when undefined (DR when N is 0, RA when M is 0, FM when either is).
struct Rates {
    std::optional<double> DR, RA, FM;
    // What they are exactly, for their texts: DR = dr / N, RA = ra / M, FM = 2 dr ra / (dr M + ra N).
    struct Exact {
        Int128 dr = 0, ra = 0;
        std::int64_t N = 0, M = 0;
    } exact;
};

// The scores of a page's counts, or, pooled, of a batch's summed counts.
Rates computeRates(const Counts& counts, const Weights& weights);

// The rates as the window's fields show them.
struct RateTexts {
    std::string dr, ra, fm;
};
// A page's: percentText of the exact rates, "--%" where undefined.
RateTexts pageRateTexts(const Rates& rates);
// A batch's totals: percentText of the exact rates, "---" where undefined.
RateTexts batchRateTexts(const Rates& rates);

}  // namespace corvanel
