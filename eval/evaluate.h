#pragma once

#include "eval/diagnosis.h"
#include "eval/labelmap.h"
#include "eval/matching.h"
#include "eval/scores.h"

#include <memory>
#include <string>
#include <vector>

namespace corvanel {

// Everything one page's evaluation reads.
struct PageRequest {
    std::string pageName;        // the page image's file name, for messages
    std::filesystem::path gtMap, rsMap;
    bool readHeader = false;     // "Read Ix,Iy": the maps begin with their size
    PageSize size;               // the page image's size; replaced by headers when they are read
    std::int32_t threshold = 90; // T, percent
    Weights weights;
    bool diagnose = false;       // also say what matched what, region by region
    bool keepMaps = false;       // hand both label maps back (read whole, not streamed)
    std::vector<std::int32_t> sweep;  // also match at each of these thresholds (at least 1)
    // A side already in memory (drawn from polygons, decoded from an image)
    // stands in for its file; it fixes the page's size.
    std::shared_ptr<const LabelMap> gtLoaded, rsLoaded;
    // When set: one byte a pixel, row by row, at the page's size; a pixel
    // that is 0 here is background on both sides (the page's ink only).
    std::shared_ptr<const std::vector<std::uint8_t>> countedPixels;
};

struct PageEvaluation {
    bool success = false;
    // A table could not be allocated: the caller ends the process with exit code -1.
    bool fatal = false;
    std::vector<Failure> failures;      // in the order they arose
    PageSize size;                      // page size after the readers
    Counts counts;
    Rates rates;
    MatchDetail detail;
    std::shared_ptr<const PageDiagnosis> diagnosis;  // when asked for
    std::shared_ptr<const LabelMap> gtMap, rsMap;     // when asked for
    std::vector<Counts> sweep;                        // the counts at each threshold of the request's sweep
};

// Reads both label maps of the page, matches their regions and computes the
// scores. On failure nothing but `failures` (and `fatal`) is meaningful.
PageEvaluation EvaluatePage(const PageRequest& request);

// Copies `count` labels into `out` (which may be `labels`), background
// where `counted` is 0: a map restricted to the pixels that count.
void keepCounted(const std::int32_t* labels, const std::uint8_t* counted, std::size_t count, std::int32_t* out);

// The refusal of a mask of counted pixels that is not the maps' size.
Failure inkMismatch(const std::string& pageName, PageSize maps);

// Hands both sides' labels to the sink in step, a slice at a time, as the
// evaluation counts them (the page's ink applied), for a page that was
// evaluated; labels are not checked again.
std::optional<Failure> readPagePixels(const PageRequest& request, const PairSink& sink);

// The same on labels the caller holds, `size` row by row on each side, read
// in place (never copied whole); `counted`, when not null, is one byte a
// pixel as PageRequest::countedPixels. Negative labels are refused before
// the counted pixels can hide them, naming the side. A diagnosis without
// `boxes` leaves every region's box empty, at about half the cost.
PageEvaluation evaluateLabels(const std::int32_t* gt, const std::int32_t* rs, PageSize size,
                              const std::uint8_t* counted, std::int32_t threshold, const Weights& weights,
                              bool diagnose = false, const std::vector<std::int32_t>& sweep = {},
                              bool boxes = true);

// The same on maps already in memory, which must have one size.
PageEvaluation evaluateMaps(const LabelMap& gt, const LabelMap& rs, std::int32_t threshold,
                            const Weights& weights, bool diagnose = false,
                            const std::vector<std::int32_t>& sweep = {});

}  // namespace corvanel
