// The threshold and weight texts and the number formats. Input: texts
// separated by 0 bytes or newlines; every 8 bytes of it are also a double
// (NaN, infinities and huge values come by themselves), every 16 a fraction
// for a percent text.

#include "fuzz/fuzz_support.h"
#include "eval/scores.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

using namespace corvanel;

namespace {

// The whole-number rule spelt out the slow way: blanks, one sign, digits, nothing after.
std::optional<std::int32_t> referenceWholeNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > std::int64_t{1} << 32) value = std::int64_t{1} << 32;  // out of range either way
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

void checkWholeNumber(std::string_view text) {
    const auto value = parseWholeNumber(text);
    CORVANEL_FUZZ_CHECK(value == referenceWholeNumber(text));
    const std::int32_t T = parseThreshold(text);
    CORVANEL_FUZZ_CHECK(T == value.value_or(95));
    CORVANEL_FUZZ_CHECK(thresholdProblem(T).empty() == (T >= 1));
}

void checkNumber(double value) {
    // fixed2 promises "%.2f"; the harness runs in the C locale.
    char expected[400];
    std::snprintf(expected, sizeof expected, "%.2f", value);
    CORVANEL_FUZZ_CHECK(fixed2(value) == expected);
}

// The percent text of numerator / denominator is the exact rate truncated:
// h hundredths with h x |d| <= 100 |n| < (h + 1) x |d|.
void checkPercent(std::int64_t numerator, std::int64_t denominator) {
    if (denominator == 0) return;
    const std::string text = percentText(numerator, denominator);
    const bool negative = (numerator < 0) != (denominator < 0) && numerator != 0;
    CORVANEL_FUZZ_CHECK(text.starts_with('-') == negative);
    CORVANEL_FUZZ_CHECK(fuzz::percentShape(text, negative ? -1.0 : 1.0));
    Int128 hundredths = 0;
    for (char c : text)
        if (c >= '0' && c <= '9') hundredths = hundredths * 10 + (c - '0');
    if (text.find(".0%") == text.size() - 3) hundredths *= 10;  // "100.0%"
    const Int128 n = numerator < 0 ? -Int128{numerator} : numerator;
    const Int128 d = denominator < 0 ? -Int128{denominator} : denominator;
    CORVANEL_FUZZ_CHECK(hundredths * d <= 100 * n && 100 * n < (hundredths + 1) * d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> texts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || input[i] == '\0' || input[i] == '\n') {
            texts.emplace_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    texts.resize(std::max<std::size_t>(texts.size(), 3));

    for (const std::string& text : texts) checkWholeNumber(text);

    const WeightTexts weightTexts{texts[0], texts[1], texts[2]};
    const auto weights = parseWeights(weightTexts);
    if (const auto* w = std::get_if<Weights>(&weights)) {
        CORVANEL_FUZZ_CHECK(parseWholeNumber(texts[0]) == w->w1);
        for (std::int64_t v : {w->w2, w->w3}) CORVANEL_FUZZ_CHECK(v >= INT32_MIN && v <= INT32_MAX);
    } else {
        // The message names the text it refuses.
        const std::string& message = std::get<std::string>(weights);
        bool named = false;
        for (const std::string* text : {&texts[0], &texts[1], &texts[2]})
            named = named || message.starts_with("'" + *text + "'");
        CORVANEL_FUZZ_CHECK(named);
    }

    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        double value;
        std::memcpy(&value, data + i, sizeof value);
        checkNumber(value);
    }
    for (std::size_t i = 0; i + 16 <= size; i += 16) {
        std::int64_t fraction[2];
        std::memcpy(fraction, data + i, sizeof fraction);
        checkPercent(fraction[0], fraction[1]);
    }
    return 0;
}
