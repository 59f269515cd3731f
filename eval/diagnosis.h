#pragma once

// What matched what, region by region: the matching's own decisions turned
// into one record per region, for the window's error view, the tool's JSON
// and its error images alike.

#include "eval/matching.h"
#include "eval/overlap.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corvanel {

enum class RegionStatus {
    One2One,     // matched one to one
    Split,       // a ground-truth region matched by several results, or one of those results
    Merged,      // a result matching several ground-truth regions, or one of those regions
    Missed,      // ground truth without a match
    FalseAlarm,  // result without a match
};
inline constexpr int kRegionStatusCount = 5;

// "one2one", "split", "merged", "missed", "false_alarm".
std::string_view statusName(RegionStatus status);

// A region of the other side and the pair's score (percent, truncated).
struct Partner {
    std::int32_t label;
    std::int32_t score;
    friend bool operator==(const Partner&, const Partner&) = default;
};

struct RegionDiagnosis {
    std::int32_t label = 0;
    std::int64_t area = 0;
    Box box;
    RegionStatus status = RegionStatus::Missed;
    // The regions of the other side it was matched with, ascending label.
    std::vector<std::int32_t> partners;
    // one2one: the pair's score (the best, on the rare region matched twice);
    // group centre: the sum of its members' scores; group member: its score
    // with the centre; unmatched: nullopt.
    std::optional<std::int32_t> score;
    // The region of the other side it shares most with (the lowest label on
    // equal scores), whether matched or not; nullopt when it shares nothing.
    std::optional<Partner> best;
};

class PageDiagnosis {
public:
    PageDiagnosis() = default;
    // `table` must hold boxes; `matching` is matchRegions(table, threshold).
    PageDiagnosis(OverlapTable table, const Matching& matching, std::int32_t threshold);

    // The same page matched again at another threshold (at least 1), from
    // the overlaps already counted.
    PageDiagnosis atThreshold(std::int32_t threshold) const;

    std::int32_t threshold() const { return threshold_; }
    const std::vector<RegionDiagnosis>& gt() const { return gt_; }          // ascending label
    const std::vector<RegionDiagnosis>& result() const { return result_; }  // ascending label

    // The region of that label, or null (also for label 0).
    const RegionDiagnosis* findGt(std::int32_t label) const;
    const RegionDiagnosis* findResult(std::int32_t label) const;
    // Pixels the two regions share (0 when either label is absent).
    std::int64_t shared(std::int32_t gtLabel, std::int32_t rsLabel) const;

    // The counts the statuses imply; equal to the page's counts.
    Counts impliedCounts() const;

private:
    OverlapTable table_;
    std::int32_t threshold_ = 0;
    std::vector<RegionDiagnosis> gt_;
    std::vector<RegionDiagnosis> result_;
};

}  // namespace corvanel
