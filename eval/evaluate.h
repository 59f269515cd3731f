#pragma once

#include "diagnosis.h"
#include "labelmap.h"
#include "matching.h"
#include "scores.h"

#include <memory>
#include <string>
#include <vector>

namespace corvanel {

// Everything one page's evaluation reads.
struct PageRequest {
    PageContext page;
    PageSize size;               // the page image's size; replaced by headers when they are read
    std::int32_t threshold = 90; // T, percent
    WeightTexts weights;
    bool batch = false;          // "Batch" ticked now: produce the report row
    bool diagnose = false;       // also say what matched what, region by region
    bool keepMaps = false;       // hand both label maps back (read whole, not streamed)
    std::vector<std::int32_t> sweep;  // also match at each of these thresholds (at least 1)
};

struct PageEvaluation {
    bool success = false;
    // A table could not be allocated: the caller ends the process with exit code -1.
    bool fatal = false;
    std::vector<std::string> messages;  // message-box texts, in the order shown
    PageSize size;                      // page size after the readers
    Counts counts;
    Rates rates;
    MatchDetail detail;
    std::string reportRow;              // only in a batch; ends with a TAB
    std::shared_ptr<const PageDiagnosis> diagnosis;  // when asked for
    std::shared_ptr<const LabelMap> gtMap, rsMap;     // when asked for
    std::vector<Counts> sweep;                        // the counts at each threshold of the request's sweep
    // Why each message arose, where the message alone does not say ("1,200
    // bytes, 8,000,000 expected"); empty where there is nothing to add.
    std::vector<std::string> details;
};

// Reads both label maps of the page, matches their regions and computes the
// scores. On failure nothing but `messages` (and `fatal`) is meaningful.
PageEvaluation EvaluatePage(const PageRequest& request);

// The same on maps already in memory, which must have one size.
PageEvaluation evaluateMaps(const LabelMap& gt, const LabelMap& rs, std::int32_t threshold,
                            const Weights& weights, bool batch, bool diagnose = false,
                            const std::vector<std::int32_t>& sweep = {});

}  // namespace corvanel
