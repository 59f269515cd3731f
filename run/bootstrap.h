#pragma once

// How far a leaderboard can be trusted: a paired bootstrap over pages. Each
// draw takes the pages with replacement, the same pages for every
// participant, pools each participant's counts over them and scores them
// again; the spread of those scores gives each score's 95% interval, and how
// often a place stays above the next one says whether the data separate them.

#include "run/results.h"

#include <cstdint>
#include <vector>

namespace corvanel {

inline constexpr std::int64_t kBootstrapDraws = 1000;
// The draws come from std::mt19937_64 seeded with this, so a board reads the
// same every time it is made.
inline constexpr std::uint64_t kBootstrapSeed = 1;

// Fills every standing's overallSure, linesSure and wordsSure from `draws`
// draws over the pages of their level runs (perPage, one list order for all).
// The standings are in the overall board's order and carry their level
// places. Nothing is filled for no draws or no pages.
void bootstrapStandings(std::vector<Standing>& standings, const Weights& weights, std::int64_t draws,
                        std::uint64_t seed = kBootstrapSeed);

}  // namespace corvanel
