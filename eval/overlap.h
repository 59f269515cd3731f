#pragma once

#include "eval/flat_map.h"
#include "eval/labelmap.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace corvanel {

// Pixels shared by ground-truth region i and result region j, for the pairs
// that share any. Kept twice: by rows (ascending j within a row) and by
// columns (ascending i within a column), which is all the matching needs.
struct SparseOverlaps {
    std::vector<std::size_t> rowStart;     // N + 1 entries: row i is [rowStart[i], rowStart[i+1])
    std::vector<std::int32_t> pairGt;      // i of each pair, pairs in row order
    std::vector<std::int32_t> pairRs;      // j of each pair
    std::vector<std::int64_t> pairShared;  // shared pixels (not scaled by 100)
    std::vector<std::size_t> colStart;     // M + 1 entries: column j is [colStart[j], colStart[j+1])
    std::vector<std::size_t> colPairs;     // pair indices, column by column

    std::size_t pairCount() const { return pairShared.size(); }
};

// The smallest rectangle holding a region's pixels, ends included; empty
// (right < left) until a pixel is added.
struct Box {
    std::int32_t left = std::numeric_limits<std::int32_t>::max();
    std::int32_t top = std::numeric_limits<std::int32_t>::max();
    std::int32_t right = -1;
    std::int32_t bottom = -1;

    bool empty() const { return right < left; }
    void add(std::int32_t x0, std::int32_t x1, std::int32_t y);
    void add(const Box& other);
    friend bool operator==(const Box&, const Box&) = default;
};

// Region areas and overlaps of one page, regions compacted to the labels
// that occur. Region i is gtLabels[i], region j is rsLabels[j].
struct OverlapTable {
    std::vector<std::int32_t> gtLabels;      // ascending
    std::vector<std::int32_t> rsLabels;      // ascending
    std::vector<std::int64_t> pinakas2;      // area of ground-truth region i
    std::vector<std::int64_t> BlackCounter;  // area of result region j
    SparseOverlaps pinakas;
    // Bounding box of region i and region j; empty vectors unless the
    // counter was asked for boxes.
    std::vector<Box> gtBoxes;
    std::vector<Box> rsBoxes;

    std::int32_t N() const { return static_cast<std::int32_t>(gtLabels.size()); }
    std::int32_t M() const { return static_cast<std::int32_t>(rsLabels.size()); }
};

// Counts areas and overlaps of two maps of one size, fed slice by slice, the
// same pixels of both maps at a time.
class OverlapCounter {
public:
    OverlapCounter() = default;
    // Also finds every region's bounding box: the maps are `rowLength`
    // labels a row and are fed from their first label on.
    explicit OverlapCounter(std::int32_t rowLength);

    void add(const std::int32_t* gt, const std::int32_t* rs, std::size_t count);
    // A label below 0 was fed: the maps must be refused.
    bool negativeLabel() const { return negative_; }
    // The table; the counter is left empty, its memory handed back as the
    // table grows.
    OverlapTable finish();

private:
    void addWithBoxes(const std::int32_t* gt, const std::int32_t* rs, std::size_t count);

    struct BoxedCount {
        std::int64_t pixels = 0;
        Box box;
    };
    detail::FlatMap<std::int64_t> runs_{64};  // pixels per (gt label, result label) pair, without boxes
    detail::FlatMap<BoxedCount> boxed_{0};    // the same and the pair's bounding box, with boxes
    bool negative_ = false;
    std::size_t rowLength_ = 0;  // 0: no boxes
    std::size_t fed_ = 0;        // labels fed so far, with boxes
};

// One pass over two whole maps of one size, labels 0 or more.
OverlapTable countOverlaps(const LabelMap& gt, const LabelMap& rs);

}  // namespace corvanel
