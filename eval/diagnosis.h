#pragma once

// What matched what, region by region: the matching's own decisions turned
// into one record per region, for the window's error view, the tool's JSON
// and its error images alike.

#include "eval/matching.h"
#include "eval/overlap.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace corvanel {

enum class RegionStatus : std::uint8_t {
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

// One region's record, made when asked for from the page's tables: a page
// with millions of regions keeps about 25 bytes a region beside its overlaps.
struct RegionDiagnosis {
    std::int32_t label = 0;
    std::int64_t area = 0;
    Box box;
    RegionStatus status = RegionStatus::Missed;
    // The regions of the other side it was matched with, ascending label;
    // valid while the diagnosis lives.
    std::span<const std::int32_t> partners;
    // one2one: the pair's score (the best, on the rare region matched twice);
    // group centre: the sum of its members' scores; group member: its score
    // with the centre; unmatched: nullopt.
    std::optional<std::int32_t> score;
    // The region of the other side it shares most with (the lowest label on
    // equal scores), whether matched or not; nullopt when it shares nothing.
    std::optional<Partner> best;
};

class PageDiagnosis;

// One side's regions in ascending label, each made when read.
class RegionList {
public:
    class iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = RegionDiagnosis;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = RegionDiagnosis;

        iterator() = default;
        RegionDiagnosis operator*() const { return (*list_)[index_]; }
        iterator& operator++() { return ++index_, *this; }
        iterator operator++(int) { return iterator(list_, index_++); }
        difference_type operator-(const iterator& o) const {
            return static_cast<difference_type>(index_) - static_cast<difference_type>(o.index_);
        }
        friend bool operator==(const iterator&, const iterator&) = default;

    private:
        friend class RegionList;
        iterator(const RegionList* list, std::size_t index) : list_(list), index_(index) {}
        const RegionList* list_ = nullptr;
        std::size_t index_ = 0;
    };

    std::size_t size() const;
    bool empty() const { return size() == 0; }
    RegionDiagnosis operator[](std::size_t i) const;
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, size()); }

private:
    friend class PageDiagnosis;
    RegionList(const PageDiagnosis* page, bool gtSide) : page_(page), gtSide_(gtSide) {}
    const PageDiagnosis* page_;
    bool gtSide_;
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
    // The overlaps it was matched from.
    const OverlapTable& table() const { return table_; }
    // Lists read from this diagnosis, so they must not outlive it.
    RegionList gt() const { return RegionList(this, true); }
    RegionList result() const { return RegionList(this, false); }

    // The region of that label, if there is one (never for label 0).
    std::optional<RegionDiagnosis> findGt(std::int32_t label) const;
    std::optional<RegionDiagnosis> findResult(std::int32_t label) const;
    // Pixels the two regions share (0 when either label is absent).
    std::int64_t shared(std::int32_t gtLabel, std::int32_t rsLabel) const;

    // The counts the statuses imply; equal to the page's counts.
    Counts impliedCounts() const;

private:
    friend class RegionList;
    // What matching made of one side's regions, a column a field.
    struct Side {
        std::vector<RegionStatus> status;
        std::vector<std::int32_t> score;      // kNoScore: unmatched
        std::vector<Partner> best;            // score -1: shares nothing
        std::vector<std::size_t> partnerEnd;  // region i's partners end here in `partners`
        std::vector<std::int32_t> partners;
    };
    static constexpr std::int32_t kNoScore = std::numeric_limits<std::int32_t>::min();
    RegionDiagnosis region(bool gtSide, std::size_t i) const;

    OverlapTable table_;
    std::int32_t threshold_ = 0;
    Side gt_, result_;
};

inline std::size_t RegionList::size() const { return (gtSide_ ? page_->gt_ : page_->result_).status.size(); }
inline RegionDiagnosis RegionList::operator[](std::size_t i) const { return page_->region(gtSide_, i); }

}  // namespace corvanel
