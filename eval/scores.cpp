#include "eval/scores.h"

#include <gmpxx.h>

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
Int128 weighted(const Weights& w, std::int64_t a, std::int64_t b, std::int64_t c) {
    return Int128{w.w1} * a + Int128{w.w2} * b + Int128{w.w3} * c;
}

__extension__ typedef unsigned __int128 UInt128;

mpz_class big(Int128 v) {
    const bool negative = v < 0;
    const UInt128 magnitude = negative ? -static_cast<UInt128>(v) : static_cast<UInt128>(v);
    const std::uint64_t words[2] = {static_cast<std::uint64_t>(magnitude), static_cast<std::uint64_t>(magnitude >> 64)};
    mpz_class out;
    mpz_import(out.get_mpz_t(), 2, -1, sizeof words[0], 0, 0, words);
    return negative ? mpz_class(-out) : out;
}

// The rate num / den percent, den not 0, truncated toward zero to two decimals.
std::string exactPercentText(const mpz_class& num, const mpz_class& den) {
    const mpz_class hundredths = abs(num) * 100 / abs(den);  // truncates
    const mpz_class whole = hundredths / 100, decimals = hundredths % 100;
    // Rates are never negative with non-negative weights; a negative one
    // keeps its sign in front rather than inside the decimals.
    std::string text = sgn(num) * sgn(den) < 0 ? "-" : "";
    text += whole.get_str() + ".";
    // Exactly 100 shows one decimal ("100.0%"); any other value two.
    if (decimals < 10 && !(whole == 100 && decimals == 0)) text += "0";
    return text + decimals.get_str() + "%";
}

}  // namespace

std::string percentText(Int128 numerator, Int128 denominator) { return exactPercentText(big(numerator), big(denominator)); }

Rates computeRates(const Counts& c, const Weights& w) {
    Rates r;
    r.exact = {weighted(w, c.one2one, c.g_one2many, c.g_many2one), weighted(w, c.one2one, c.d_one2many, c.d_many2one),
               c.N, c.M};
    if (c.N != 0) r.DR = static_cast<double>(r.exact.dr) / static_cast<double>(c.N);
    if (c.M != 0) r.RA = static_cast<double>(r.exact.ra) / static_cast<double>(c.M);
    if (r.DR && r.RA) r.FM = *r.DR + *r.RA != 0 ? 2 * *r.DR * *r.RA / (*r.DR + *r.RA) : 0.0;
    return r;
}

namespace {

RateTexts texts(const Rates& r, const char* undefined) {
    const Rates::Exact& e = r.exact;
    RateTexts t{undefined, undefined, undefined};
    if (e.N != 0) t.dr = percentText(e.dr, e.N);
    if (e.M != 0) t.ra = percentText(e.ra, e.M);
    if (e.N != 0 && e.M != 0) {
        // FM = 2 DR RA / (DR + RA) = 2 dr ra / (dr M + ra N); 0 when DR + RA is.
        const mpz_class dr = big(e.dr), ra = big(e.ra);
        const mpz_class sum = dr * big(e.M) + ra * big(e.N);
        t.fm = sum == 0 ? exactPercentText(0, 1) : exactPercentText(2 * dr * ra, sum);
    }
    return t;
}

}  // namespace

RateTexts pageRateTexts(const Rates& rates) { return texts(rates, "--%"); }

RateTexts batchRateTexts(const Rates& rates) { return texts(rates, "---"); }

}  // namespace corvanel
