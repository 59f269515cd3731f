#pragma once

#include "eval/overlap.h"

#include <cstdint>
#include <vector>

namespace corvanel {

// The seven counts of a page or, summed, of a batch (64-bit: no overflow over
// long batches).
struct Counts {
    std::int64_t N = 0;
    std::int64_t M = 0;
    std::int64_t one2one = 0;
    std::int64_t g_one2many = 0;
    std::int64_t g_many2one = 0;
    std::int64_t d_one2many = 0;
    std::int64_t d_many2one = 0;

    Counts& operator+=(const Counts& o);
    friend bool operator==(const Counts&, const Counts&) = default;
};

struct MatchedPair {
    std::int32_t gtLabel;
    std::int32_t rsLabel;
    std::int32_t score;  // percent, truncated
    friend bool operator==(const MatchedPair&, const MatchedPair&) = default;
};

// A region of one side with the regions of the other side it was matched with.
struct MatchedGroup {
    std::int32_t centre;
    std::vector<std::int32_t> members;  // ascending label
    friend bool operator==(const MatchedGroup&, const MatchedGroup&) = default;
};

// What matched what, by label, for reports that explain a score.
struct MatchDetail {
    std::vector<MatchedPair> one2one;          // in the order the matches were made
    std::vector<MatchedGroup> gtCentred;       // a ground-truth region split over result regions
    std::vector<MatchedGroup> resultCentred;   // a result region covering ground-truth regions
    std::vector<std::int32_t> unmatchedGt;     // ascending
    std::vector<std::int32_t> unmatchedResult; // ascending
};

struct Matching {
    Counts counts;
    MatchDetail detail;
};

// The match score of a pair in percent: 100 x shared pixels over the larger
// of the two areas, as a real number (the match test compares it unrounded).
inline double matchScore(std::int64_t shared, std::int64_t gtArea, std::int64_t rsArea) {
    const double scaled = static_cast<double>(100 * shared);
    const double sg = scaled / static_cast<double>(gtArea);
    const double sr = scaled / static_cast<double>(rsArea);
    return sr <= sg ? sr : sg;
}

// Scores every overlapping pair and runs the matching passes in their fixed
// order. threshold must be at least 1.
Matching matchRegions(const OverlapTable& table, std::int32_t threshold);

}  // namespace corvanel
