// The page evaluation on two small maps built from the input, checked against
// what must hold whatever the maps: the diagnosis implies the counts, N and M
// are the labels that occur, and matching again at another threshold (from
// the diagnosis, the sweep, or a fresh evaluation without boxes) agrees.
//
// Input: width, height (1..32), T, a second T (1..100), flags (bit 0: labels
// may be negative, bit 1: batch, bits 2-4: w3, bit 5: the weights follow as
// three little-endian int32), w1 and w2 (bits 0-2, 3-5), [the weights], then
// one byte per pixel, ground truth first; missing bytes are 0.

#include "eval/evaluate.h"
#include "eval/overlap.h"
#include "fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <set>
#include <vector>

using namespace corvanel;

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// Mostly a few small labels, so regions overlap in every way; now and then
// one far apart, up to the largest.
std::int32_t label(std::uint8_t byte, bool negativeAllowed) {
    static constexpr std::int32_t large[] = {8, 255, 256, 65535, 65536, 1 << 24, 1 << 30, kMax - 1, kMax};
    static constexpr std::int32_t negative[] = {-1, -2, -65536, kMin};
    if (byte < 0xF0) return byte % 6;
    if (byte >= 0xFC && negativeAllowed) return negative[byte - 0xFC];
    return large[(byte - 0xF0) % std::size(large)];
}

// What a weight field can give, extremes and negatives included.
constexpr std::int64_t kWeights[] = {100, 0, 1, -1, 50, -100, kMax, kMin};

std::int64_t distinctNonZero(const LabelMap& map) {
    std::set<std::int32_t> labels(map.data(), map.data() + map.pixelCount());
    labels.erase(0);
    return static_cast<std::int64_t>(labels.size());
}

std::int64_t nonZeroPixels(const LabelMap& map) {
    std::int64_t n = 0;
    for (std::size_t i = 0; i < map.pixelCount(); ++i) n += map.data()[i] != 0;
    return n;
}

bool anyNegative(const LabelMap& map) {
    for (std::size_t i = 0; i < map.pixelCount(); ++i)
        if (map.data()[i] < 0) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    const std::int32_t width = 1 + data[0] % 32;
    const std::int32_t height = 1 + data[1] % 32;
    const std::int32_t T = 1 + data[2] % 100;
    const std::int32_t T2 = 1 + data[3] % 100;
    const bool negativeAllowed = (data[4] & 1) != 0;
    Weights weights{kWeights[data[5] & 7], kWeights[(data[5] >> 3) & 7], kWeights[(data[4] >> 2) & 7]};
    std::size_t next = 6;
    // Any weights a field can hold, for rates the table above cannot reach.
    if ((data[4] & 0x20) != 0 && size >= next + 12) {
        std::int32_t raw[3];
        std::memcpy(raw, data + next, sizeof raw);
        weights = {raw[0], raw[1], raw[2]};
        next += sizeof raw;
    }

    LabelMap gt(width, height), rs(width, height);
    for (LabelMap* map : {&gt, &rs})
        for (std::size_t i = 0; i < map->pixelCount(); ++i, ++next)
            map->data()[i] = next < size ? label(data[next], negativeAllowed) : 0;

    const PageEvaluation out = evaluateMaps(gt, rs, T, weights, /*diagnose=*/true, {T2});
    if (anyNegative(gt) || anyNegative(rs)) {
        CORVANEL_FUZZ_CHECK(!out.success && !out.fatal && !out.failures.empty());
        return 0;
    }
    CORVANEL_FUZZ_CHECK(out.success && out.diagnosis);
    const Counts& c = out.counts;
    CORVANEL_FUZZ_CHECK(c.N == distinctNonZero(gt));
    CORVANEL_FUZZ_CHECK(c.M == distinctNonZero(rs));

    const PageDiagnosis& diagnosis = *out.diagnosis;
    CORVANEL_FUZZ_CHECK(diagnosis.impliedCounts() == c);
    CORVANEL_FUZZ_CHECK(static_cast<std::int64_t>(diagnosis.gt().size()) == c.N);
    CORVANEL_FUZZ_CHECK(static_cast<std::int64_t>(diagnosis.result().size()) == c.M);
    std::int64_t gtArea = 0, rsArea = 0;
    for (const RegionDiagnosis r : diagnosis.gt()) gtArea += r.area;
    for (const RegionDiagnosis r : diagnosis.result()) rsArea += r.area;
    CORVANEL_FUZZ_CHECK(gtArea == nonZeroPixels(gt) && rsArea == nonZeroPixels(rs));
    // The count without boxes takes a path of its own: the same table.
    const OverlapTable plain = countOverlaps(gt, rs);
    OverlapCounter withBoxes(width);
    withBoxes.add(gt.data(), rs.data(), gt.pixelCount());
    const OverlapTable boxed = withBoxes.finish();
    CORVANEL_FUZZ_CHECK(plain.gtLabels == boxed.gtLabels && plain.rsLabels == boxed.rsLabels &&
                        plain.pinakas2 == boxed.pinakas2 && plain.BlackCounter == boxed.BlackCounter);
    CORVANEL_FUZZ_CHECK(plain.pinakas.pairGt == boxed.pinakas.pairGt && plain.pinakas.pairRs == boxed.pinakas.pairRs &&
                        plain.pinakas.pairShared == boxed.pinakas.pairShared);

    // Every defined rate has a percent text, whatever the weights.
    const Rates& r = out.rates;
    const RateTexts t = pageRateTexts(r);
    CORVANEL_FUZZ_CHECK(c.N == 0 ? t.dr == "--%" && !r.DR : fuzz::percentShape(t.dr, r.DR.value_or(-1)));
    CORVANEL_FUZZ_CHECK(c.M == 0 ? t.ra == "--%" && !r.RA : fuzz::percentShape(t.ra, r.RA.value_or(-1)));
    CORVANEL_FUZZ_CHECK(c.N == 0 || c.M == 0 ? t.fm == "--%" && !r.FM : fuzz::percentShape(t.fm, r.FM.value_or(-1)));

    // The same page at T2, three ways: counted afresh without boxes, from the
    // sweep of the first evaluation, and from its diagnosis.
    const PageEvaluation again = evaluateMaps(gt, rs, T2, weights);
    CORVANEL_FUZZ_CHECK(again.success);
    CORVANEL_FUZZ_CHECK(out.sweep.size() == 1 && out.sweep[0] == again.counts);
    const PageDiagnosis at = diagnosis.atThreshold(T2);
    CORVANEL_FUZZ_CHECK(at.threshold() == T2);
    CORVANEL_FUZZ_CHECK(at.impliedCounts() == again.counts);
    return 0;
}
