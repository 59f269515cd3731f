#pragma once

// A run's results as numbers: each page's outcome, pooled counts and rates,
// a level's run, a participant's standing, the threshold curves of a sweep.
// Texts are made from them by the writers and the window.

#include "eval/evaluate.h"
#include "eval/failure.h"
#include "run/workspace.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvanel {

struct PageOutcome {
    std::string name;
    bool evaluated = false;         // counted into the batch
    bool batchTicked = true;        // "Batch" was ticked: its row goes into the report
    std::vector<Failure> failures;  // in the order they arose
    PageEvaluation evaluation;      // meaningful when evaluated
    PageRequest request;            // what it was evaluated from, maps in memory included
    std::vector<std::string> gtIds, rsIds;  // element ids of labels 1..n, for a PAGE or ALTO side
    bool foundNothing = false;  // evaluated against no region: the result was missing or broken
};

// The summed counts of the evaluated pages and the rates pooled from them.
struct Pooled {
    Counts counts;
    std::int64_t pages = 0;
    Rates rates;
};

Pooled pool(const Counts& sums, std::int64_t pages, const Weights& weights);

// The window's batch.
struct BatchResult {
    Counts sums;
    std::int64_t evaluatedPages = 0;
    Rates rates;         // pooled from the sums
    bool fatal = false;  // a page's tables could not be allocated
};

// One participant's pages at one level.
struct LevelRun {
    Level level = Level::Lines;
    Pooled totals;              // over the evaluated pages
    std::vector<Pooled> sweep;  // at each threshold of the settings' sweep
    std::size_t listed = 0;
    std::int64_t submitted = 0;  // evaluated pages that had a result of their own
    struct PageScore {
        Counts counts;
        bool foundNothing = false;  // see PageOutcome
    };
    std::vector<std::optional<PageScore>> perPage;  // in list order; none where not evaluated
    bool fatal = false;         // tables could not be allocated: the run ended there
    bool afterPageFailed = false;
};

// How sure a place on a leaderboard is, from a bootstrap over pages.
struct Confidence {
    double low = 0, high = 0;          // the score's 95% interval, percent
    std::optional<double> aboveNext;   // percent of draws scoring above the next place; none for the last
};

// Where a place cannot be told from the next with this share of draws.
inline constexpr double kSeparatedShare = 95;

// A participant's place: both levels and their mean FM (a level without a
// score counts as 0), and its places on each level's own board.
struct Standing {
    Participant participant;
    LevelRun lines, words;
    double overall = 0;
    std::size_t linesPlace = 0, wordsPlace = 0;  // from 1
    // Filled by a bootstrap: the overall board's, and each level's FM on its board.
    std::optional<Confidence> overallSure, linesSure, wordsSure;
};

struct RankingResult {
    std::vector<Standing> standings;  // best first, ties by name
    bool fatal = false;               // stopped at a page whose tables could not be allocated
};

// A level's FM as a board ranks it: 0 when undefined.
double boardScore(const LevelRun& run);
// The standings' indices in a level's board order: best FM first, ties by name.
std::vector<std::size_t> boardOrder(const std::vector<Standing>& standings, Level level);

struct CurvePoint {
    int threshold;                     // percent
    std::optional<double> DR, RA, FM;  // percent; nullopt where undefined (no regions)
};

// A participant's scores at one level against the threshold.
struct Curve {
    std::string participant;         // legend name, e.g. "baseline"
    std::string level;               // "lines" or "words"
    std::vector<CurvePoint> points;  // ascending threshold
};

// A level run's pooled scores at one threshold of its sweep.
struct SweepPoint {
    std::string participant;
    Level level = Level::Lines;
    std::int32_t threshold = 0;
    Pooled at;
};

// The points of a level run's sweep at `thresholds`.
std::vector<SweepPoint> sweepPoints(const std::string& participant, const LevelRun& run,
                                    const std::vector<std::int32_t>& thresholds);

// The points as curves, one a participant and level, in their order.
std::vector<Curve> curves(const std::vector<SweepPoint>& points);

}  // namespace corvanel
