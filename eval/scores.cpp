#include "eval/scores.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace corvanel {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view skipLeadingBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view trimBlanks(std::string_view text) {
    text = skipLeadingBlanks(text);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<double> parseDecimal(std::string_view text) {
    text = trimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // from_chars would also take "inf" and "nan", which are no decimal numbers.
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.'))
        return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                           std::chars_format::general);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return negative ? -value : value;
}

std::string inQuotes(std::string_view text) { return "'" + std::string(text) + "'"; }

std::string formatInt(std::int64_t v) { return std::to_string(v); }

}  // namespace

std::optional<std::int32_t> parseWholeNumber(std::string_view text) {
    text = skipLeadingBlanks(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::int32_t parseThreshold(std::string_view text) { return parseWholeNumber(text).value_or(95); }

std::string thresholdProblem(std::int32_t T) {
    if (T >= 1) return {};
    return "MC_thres(%) must be at least 1 (it is " + std::to_string(T) + "); nothing was evaluated";
}

std::variant<Weights, std::string> parseWeights(const WeightTexts& texts) {
    Weights w;
    const auto w1 = parseWholeNumber(texts.one2one);
    if (!w1) return inQuotes(texts.one2one) + " is not a valid integer value";
    w.w1 = *w1;
    std::int64_t* decimals[] = {&w.w2, &w.w3};
    const std::string* decimalTexts[] = {&texts.one2many, &texts.many2one};
    for (int k = 0; k < 2; ++k) {
        const auto value = parseDecimal(*decimalTexts[k]);
        if (!value) return inQuotes(*decimalTexts[k]) + " is not a valid floating point value";
        const double truncated = std::trunc(*value);
        if (!(truncated >= std::numeric_limits<std::int32_t>::min() &&
              truncated <= std::numeric_limits<std::int32_t>::max()))
            return inQuotes(*decimalTexts[k]) + " is out of range for a weight";
        *decimals[k] = static_cast<std::int64_t>(truncated);
    }
    return w;
}

std::string percentText(double rate) {
    // Rates are never negative with non-negative weights; a negative one keeps
    // its sign in front rather than inside the decimals.
    std::string text;
    if (rate < 0) {
        text = "-";
        rate = -rate;
    }
    if (!std::isfinite(rate)) return text + (std::isnan(rate) ? "nan%" : "inf%");
    const double whole = std::trunc(rate);
    // Beyond 2^63 (odd weights can get there) a double has no fraction left.
    if (whole >= 9223372036854775808.0) {
        char digits[400];
        const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, whole, std::chars_format::fixed, 0);
        return text + std::string(digits, ec == std::errc{} ? end : digits) + ".00%";
    }
    const auto p = static_cast<std::int64_t>(whole);
    const auto d = static_cast<std::int64_t>(100.0 * (rate - whole));
    text += formatInt(p) + ".";
    // Exactly 100 shows one decimal ("100.0%"); any other value two.
    if (d < 10 && !(p == 100 && d == 0)) text += "0";
    return text + formatInt(d) + "%";
}

std::string fixed2(double value) {
    // Room for the largest double in full: 309 digits and the decimals.
    char buffer[400];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    if (ec != std::errc{}) return "nan";
    return std::string(buffer, end);
}

namespace {

// w1 x a + w2 x b + w3 x c in 128 bits: weights and counts below 2^63 each
// keep it far from overflow, however long the batch.
double weighted(const Weights& w, std::int64_t a, std::int64_t b, std::int64_t c) {
    __extension__ typedef __int128 Wide;
    return static_cast<double>(Wide{w.w1} * a + Wide{w.w2} * b + Wide{w.w3} * c);
}

}  // namespace

Rates computeRates(const Counts& c, const Weights& w) {
    Rates r;
    if (c.N != 0) r.DR = weighted(w, c.one2one, c.g_one2many, c.g_many2one) / static_cast<double>(c.N);
    if (c.M != 0) r.RA = weighted(w, c.one2one, c.d_one2many, c.d_many2one) / static_cast<double>(c.M);
    if (r.DR && r.RA) r.FM = *r.DR + *r.RA != 0 ? 2 * *r.DR * *r.RA / (*r.DR + *r.RA) : 0.0;
    return r;
}

namespace {

RateTexts texts(const Rates& r, const char* undefined) {
    const auto text = [&](const std::optional<double>& v) { return v ? percentText(*v) : std::string(undefined); };
    return {text(r.DR), text(r.RA), text(r.FM)};
}

}  // namespace

RateTexts pageRateTexts(const Rates& rates) { return texts(rates, "--%"); }

RateTexts batchRateTexts(const Rates& rates) { return texts(rates, "---"); }

}  // namespace corvanel
