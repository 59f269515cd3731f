#include "eval/diagnosis.h"

#include <algorithm>
#include <cstddef>
#include <numeric>

namespace corvanel {

namespace {

using Index = std::size_t;

std::optional<Index> indexOf(const std::vector<std::int32_t>& sorted, std::int32_t label) {
    const auto it = std::lower_bound(sorted.begin(), sorted.end(), label);
    if (it == sorted.end() || *it != label) return std::nullopt;
    return static_cast<Index>(it - sorted.begin());
}

std::int32_t truncatedScore(const OverlapTable& t, Index pair) {
    const SparseOverlaps& ov = t.pinakas;
    return static_cast<std::int32_t>(matchScore(ov.pairShared[pair], t.pinakas2[static_cast<Index>(ov.pairGt[pair])],
                                                t.BlackCounter[static_cast<Index>(ov.pairRs[pair])]));
}

// The pair of regions i and j, if they share pixels.
std::optional<Index> pairOf(const OverlapTable& t, Index i, Index j) {
    const SparseOverlaps& ov = t.pinakas;
    const auto first = ov.pairRs.begin() + static_cast<std::ptrdiff_t>(ov.rowStart[i]);
    const auto last = ov.pairRs.begin() + static_cast<std::ptrdiff_t>(ov.rowStart[i + 1]);
    const auto it = std::lower_bound(first, last, static_cast<std::int32_t>(j));
    if (it == last || *it != static_cast<std::int32_t>(j)) return std::nullopt;
    return static_cast<Index>(it - ov.pairRs.begin());
}

}  // namespace

std::string_view statusName(RegionStatus status) {
    switch (status) {
    case RegionStatus::One2One: return "one2one";
    case RegionStatus::Split: return "split";
    case RegionStatus::Merged: return "merged";
    case RegionStatus::Missed: return "missed";
    case RegionStatus::FalseAlarm: return "false_alarm";
    }
    return "?";
}

PageDiagnosis::PageDiagnosis(OverlapTable table, const Matching& matching, std::int32_t threshold)
    : table_(std::move(table)), threshold_(threshold) {
    const OverlapTable& t = table_;
    const SparseOverlaps& ov = t.pinakas;
    // One side's best partners; pairsOf(i, fn) calls fn on region i's pairs
    // in ascending order of the other side, so the first highest is the lowest label.
    const auto describe = [&](Side& side, bool isGt, RegionStatus unmatched, auto pairsOf) {
        const std::vector<std::int32_t>& labels = isGt ? t.gtLabels : t.rsLabels;
        const std::vector<std::int32_t>& others = isGt ? t.rsLabels : t.gtLabels;
        side.status.assign(labels.size(), unmatched);
        side.score.assign(labels.size(), kNoScore);
        side.best.assign(labels.size(), Partner{0, -1});
        for (Index i = 0; i < labels.size(); ++i) {
            Partner& best = side.best[i];
            pairsOf(i, [&](Index p) {
                const std::int32_t s = truncatedScore(t, p);
                const Index other = static_cast<Index>(isGt ? ov.pairRs[p] : ov.pairGt[p]);
                if (s > best.score) best = Partner{others[other], s};
            });
        }
    };
    describe(gt_, true, RegionStatus::Missed, [&](Index i, auto fn) {
        for (Index p = ov.rowStart[i]; p < ov.rowStart[i + 1]; ++p) fn(p);
    });
    describe(result_, false, RegionStatus::FalseAlarm, [&](Index j, auto fn) {
        for (Index k = ov.colStart[j]; k < ov.colStart[j + 1]; ++k) fn(ov.colPairs[k]);
    });

    // Every decision of the matching, in its order: `mark(side, region,
    // partner, status, score)` for a region matched with a partner (score
    // the pair's), `centre(side, region, sum, status)` once a group's members
    // are marked. Walked twice: to count the partners, then to place them.
    const MatchDetail& d = matching.detail;
    const auto walk = [&](auto mark, auto centre) {
        for (const MatchedPair& m : d.one2one) {
            mark(gt_, *indexOf(t.gtLabels, m.gtLabel), m.rsLabel, RegionStatus::One2One, m.score);
            mark(result_, *indexOf(t.rsLabels, m.rsLabel), m.gtLabel, RegionStatus::One2One, m.score);
        }
        // A group's members all share pixels with its centre (score 5 or more).
        const auto group = [&](const MatchedGroup& g, bool gtCentre, RegionStatus status) {
            Side& centres = gtCentre ? gt_ : result_;
            Side& members = gtCentre ? result_ : gt_;
            const Index c = *indexOf(gtCentre ? t.gtLabels : t.rsLabels, g.centre);
            std::int32_t sum = 0;
            for (std::int32_t label : g.members) {
                const Index m = *indexOf(gtCentre ? t.rsLabels : t.gtLabels, label);
                const std::int32_t s = truncatedScore(t, *(gtCentre ? pairOf(t, c, m) : pairOf(t, m, c)));
                sum += s;
                mark(centres, c, label, status, kNoScore);
                mark(members, m, g.centre, status, s);
            }
            centre(centres, c, sum, status);
        };
        for (const MatchedGroup& g : d.gtCentred) group(g, true, RegionStatus::Split);
        for (const MatchedGroup& g : d.resultCentred) group(g, false, RegionStatus::Merged);
    };
    for (Side* side : {&gt_, &result_}) side->partnerEnd.assign(side->status.size(), 0);
    walk([](Side& side, Index i, std::int32_t, RegionStatus, std::int32_t) { ++side.partnerEnd[i]; },
         [](Side&, Index, std::int32_t, RegionStatus) {});
    for (Side* side : {&gt_, &result_}) {
        std::partial_sum(side->partnerEnd.begin(), side->partnerEnd.end(), side->partnerEnd.begin());
        side->partners.resize(side->partnerEnd.empty() ? 0 : side->partnerEnd.back());
    }
    // Filled back to front: partnerEnd[i] ends as the start of region i's
    // partners until the last one is placed, then is set back.
    walk(
        [](Side& side, Index i, std::int32_t partner, RegionStatus status, std::int32_t score) {
            side.partners[--side.partnerEnd[i]] = partner;
            side.status[i] = status;
            if (score != kNoScore) side.score[i] = std::max(side.score[i], score);
        },
        [](Side& side, Index c, std::int32_t sum, RegionStatus status) {
            side.status[c] = status;
            side.score[c] = sum;
        });
    for (Side* side : {&gt_, &result_}) {
        const std::size_t n = side->partnerEnd.size();
        for (Index i = 0; i < n; ++i) {
            const std::size_t end = i + 1 < n ? side->partnerEnd[i + 1] : side->partners.size();
            std::sort(side->partners.begin() + static_cast<std::ptrdiff_t>(side->partnerEnd[i]),
                      side->partners.begin() + static_cast<std::ptrdiff_t>(end));
        }
        // From each region's start to its end.
        if (n != 0) {
            std::rotate(side->partnerEnd.begin(), side->partnerEnd.begin() + 1, side->partnerEnd.end());
            side->partnerEnd.back() = side->partners.size();
        }
    }
}

RegionDiagnosis PageDiagnosis::region(bool gtSide, std::size_t i) const {
    const Side& side = gtSide ? gt_ : result_;
    const std::vector<Box>& boxes = gtSide ? table_.gtBoxes : table_.rsBoxes;
    RegionDiagnosis r;
    r.label = (gtSide ? table_.gtLabels : table_.rsLabels)[i];
    r.area = (gtSide ? table_.pinakas2 : table_.BlackCounter)[i];
    if (i < boxes.size()) r.box = boxes[i];
    r.status = side.status[i];
    const std::size_t begin = i == 0 ? 0 : side.partnerEnd[i - 1];
    r.partners = std::span<const std::int32_t>(side.partners.data() + begin, side.partnerEnd[i] - begin);
    if (side.score[i] != kNoScore) r.score = side.score[i];
    if (side.best[i].score >= 0) r.best = side.best[i];
    return r;
}

PageDiagnosis PageDiagnosis::atThreshold(std::int32_t threshold) const {
    return PageDiagnosis(table_, matchRegions(table_, threshold), threshold);
}

std::optional<RegionDiagnosis> PageDiagnosis::findGt(std::int32_t label) const {
    const auto i = indexOf(table_.gtLabels, label);
    return i ? std::optional(region(true, *i)) : std::nullopt;
}

std::optional<RegionDiagnosis> PageDiagnosis::findResult(std::int32_t label) const {
    const auto j = indexOf(table_.rsLabels, label);
    return j ? std::optional(region(false, *j)) : std::nullopt;
}

std::int64_t PageDiagnosis::shared(std::int32_t gtLabel, std::int32_t rsLabel) const {
    const auto i = indexOf(table_.gtLabels, gtLabel);
    const auto j = indexOf(table_.rsLabels, rsLabel);
    if (!i || !j) return 0;
    const auto p = pairOf(table_, *i, *j);
    return p ? table_.pinakas.pairShared[*p] : 0;
}

Counts PageDiagnosis::impliedCounts() const {
    Counts c;
    c.N = static_cast<std::int64_t>(gt_.status.size());
    c.M = static_cast<std::int64_t>(result_.status.size());
    for (const RegionDiagnosis r : gt()) {
        if (r.status == RegionStatus::One2One) c.one2one += static_cast<std::int64_t>(r.partners.size());
        c.d_one2many += r.status == RegionStatus::Split;
        c.d_many2one += r.status == RegionStatus::Merged;
    }
    for (const RegionStatus s : result_.status) {
        c.g_many2one += s == RegionStatus::Split;
        c.g_one2many += s == RegionStatus::Merged;
    }
    return c;
}

}  // namespace corvanel
