#pragma once

// What the Python module hands back, as C++ values: pooled totals, one
// page's result with its diagnosis, and their pickled form.

#include "eval/evaluate.h"
#include "run/results.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvanel::python {

// Counts of one or more evaluated pages, scored at one threshold with one
// set of weights; the rates are always those of the counts.
struct Totals {
    Counts counts;
    std::int64_t pages = 0;
    std::int32_t threshold = 90;
    Weights weights;

    Rates rates() const { return computeRates(counts, weights); }
    // The two pooled as one batch pools its pages; refused (ValueError) when
    // they were scored differently.
    Totals pooledWith(const Totals& other) const;
};

// One page: its totals, what matched what and, region by region, why.
struct PageResult : Totals {
    PageOutcome outcome;  // evaluated; no maps kept
    std::vector<std::string> messages;

    // From an evaluation that succeeded (its maps and request let go).
    static PageResult of(PageOutcome outcome, std::vector<std::string> messages);
    // The same page matched again at `threshold`, from its overlaps.
    PageResult atThreshold(std::int32_t threshold) const;
    const PageDiagnosis* diagnosis() const { return outcome.evaluation.diagnosis.get(); }
};

// The bytes a page's overlaps pickle to, and back; nullopt for bytes that
// are not such a table.
std::string tableBytes(const OverlapTable& table);
std::optional<OverlapTable> tableFromBytes(const std::string& bytes);

// A page's result remade from its overlaps, as evaluated at `threshold`.
PageOutcome outcomeFromTable(OverlapTable table, std::int32_t threshold, const Weights& weights);

}  // namespace corvanel::python
