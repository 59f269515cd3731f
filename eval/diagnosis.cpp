#include "eval/diagnosis.h"

#include <algorithm>
#include <cstddef>

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

void setStatus(RegionDiagnosis& region, RegionStatus status, std::int32_t partner, std::int32_t score) {
    region.status = status;
    region.partners.insert(std::lower_bound(region.partners.begin(), region.partners.end(), partner), partner);
    region.score = region.score ? std::max(*region.score, score) : score;
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
    // One side's regions; pairsOf(i, fn) calls fn on region i's pairs in
    // ascending order of the other side, so the first highest is the lowest label.
    const auto describe = [&](std::vector<RegionDiagnosis>& side, bool isGt, RegionStatus unmatched, auto pairsOf) {
        const std::vector<std::int32_t>& labels = isGt ? t.gtLabels : t.rsLabels;
        const std::vector<std::int32_t>& others = isGt ? t.rsLabels : t.gtLabels;
        const std::vector<Box>& boxes = isGt ? t.gtBoxes : t.rsBoxes;
        side.resize(labels.size());
        for (Index i = 0; i < labels.size(); ++i) {
            RegionDiagnosis& r = side[i];
            r.label = labels[i];
            r.area = isGt ? t.pinakas2[i] : t.BlackCounter[i];
            if (i < boxes.size()) r.box = boxes[i];
            r.status = unmatched;
            pairsOf(i, [&](Index p) {
                const std::int32_t s = truncatedScore(t, p);
                const Index other = static_cast<Index>(isGt ? ov.pairRs[p] : ov.pairGt[p]);
                if (!r.best || s > r.best->score) r.best = Partner{others[other], s};
            });
        }
    };
    describe(gt_, true, RegionStatus::Missed, [&](Index i, auto fn) {
        for (Index p = ov.rowStart[i]; p < ov.rowStart[i + 1]; ++p) fn(p);
    });
    describe(result_, false, RegionStatus::FalseAlarm, [&](Index j, auto fn) {
        for (Index k = ov.colStart[j]; k < ov.colStart[j + 1]; ++k) fn(ov.colPairs[k]);
    });

    const MatchDetail& d = matching.detail;
    for (const MatchedPair& m : d.one2one) {
        setStatus(gt_[*indexOf(t.gtLabels, m.gtLabel)], RegionStatus::One2One, m.rsLabel, m.score);
        setStatus(result_[*indexOf(t.rsLabels, m.rsLabel)], RegionStatus::One2One, m.gtLabel, m.score);
    }
    // A group's members all share pixels with its centre (score 5 or more).
    const auto group = [&](const MatchedGroup& g, bool gtCentre, RegionStatus status) {
        std::vector<RegionDiagnosis>& centres = gtCentre ? gt_ : result_;
        std::vector<RegionDiagnosis>& members = gtCentre ? result_ : gt_;
        const Index c = *indexOf(gtCentre ? t.gtLabels : t.rsLabels, g.centre);
        std::int32_t sum = 0;
        for (std::int32_t label : g.members) {
            const Index m = *indexOf(gtCentre ? t.rsLabels : t.gtLabels, label);
            const std::int32_t s = truncatedScore(t, *(gtCentre ? pairOf(t, c, m) : pairOf(t, m, c)));
            sum += s;
            centres[c].partners.push_back(label);
            setStatus(members[m], status, g.centre, s);
        }
        centres[c].status = status;
        centres[c].score = sum;
    };
    for (const MatchedGroup& g : d.gtCentred) group(g, true, RegionStatus::Split);
    for (const MatchedGroup& g : d.resultCentred) group(g, false, RegionStatus::Merged);
}

PageDiagnosis PageDiagnosis::atThreshold(std::int32_t threshold) const {
    return PageDiagnosis(table_, matchRegions(table_, threshold), threshold);
}

const RegionDiagnosis* PageDiagnosis::findGt(std::int32_t label) const {
    const auto i = indexOf(table_.gtLabels, label);
    return i ? &gt_[*i] : nullptr;
}

const RegionDiagnosis* PageDiagnosis::findResult(std::int32_t label) const {
    const auto j = indexOf(table_.rsLabels, label);
    return j ? &result_[*j] : nullptr;
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
    c.N = static_cast<std::int64_t>(gt_.size());
    c.M = static_cast<std::int64_t>(result_.size());
    for (const RegionDiagnosis& r : gt_) {
        if (r.status == RegionStatus::One2One) c.one2one += static_cast<std::int64_t>(r.partners.size());
        c.d_one2many += r.status == RegionStatus::Split;
        c.d_many2one += r.status == RegionStatus::Merged;
    }
    for (const RegionDiagnosis& r : result_) {
        c.g_many2one += r.status == RegionStatus::Split;
        c.g_one2many += r.status == RegionStatus::Merged;
    }
    return c;
}

}  // namespace corvanel
