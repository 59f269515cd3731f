#pragma once

// A plain, literal implementation of the page evaluation: per-label region
// tables sized by the largest label, areas and overlaps counted by scanning
// bounding boxes, and dense N x M tables for overlaps, scores and matches.
// Slow on purpose; the engine must give exactly its counts.

#include "eval/labelmap.h"
#include "eval/matching.h"

#include <cstdint>

namespace corvanel::reference {

// gt and rs have the same size, labels >= 0, threshold >= 1.
Counts denseEvaluate(const LabelMap& gt, const LabelMap& rs, std::int32_t threshold);

}  // namespace corvanel::reference
