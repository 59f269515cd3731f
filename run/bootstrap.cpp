#include "run/bootstrap.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace corvanel {

namespace {

__extension__ typedef unsigned __int128 UInt128;

// A page index below n from one draw of the generator, the same on every
// platform (unlike std::uniform_int_distribution).
std::size_t below(std::mt19937_64& random, std::size_t n) {
    return static_cast<std::size_t>((static_cast<UInt128>(random()) * n) >> 64);
}

Counts times(const Counts& c, std::int64_t k) {
    return {c.N * k, c.M * k, c.one2one * k, c.g_one2many * k, c.g_many2one * k, c.d_one2many * k, c.d_many2one * k};
}

// The 2.5th and 97.5th percentiles (nearest rank).
Confidence interval(std::vector<double> scores) {
    std::sort(scores.begin(), scores.end());
    const auto at = [&](double share) {
        const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(scores.size())));
        return scores[std::max<std::size_t>(rank, 1) - 1];
    };
    return {at(0.025), at(0.975), std::nullopt};
}

// Each place's share of draws above the next place on a board.
void aboveNext(std::vector<Confidence>& sure, const std::vector<std::vector<double>>& scores,
               const std::vector<std::size_t>& order) {
    for (std::size_t k = 0; k + 1 < order.size(); ++k) {
        const std::vector<double>& mine = scores[order[k]];
        const std::vector<double>& next = scores[order[k + 1]];
        std::size_t above = 0;
        for (std::size_t d = 0; d < mine.size(); ++d) above += mine[d] > next[d];
        sure[order[k]].aboveNext = 100.0 * static_cast<double>(above) / static_cast<double>(mine.size());
    }
}

}  // namespace

void bootstrapStandings(std::vector<Standing>& standings, const Weights& weights, std::int64_t draws,
                        std::uint64_t seed) {
    if (draws <= 0 || standings.empty()) return;
    // The pages that count for anyone at either level; a page without ground
    // truth at a level adds nothing there.
    const std::size_t listed = std::max(standings[0].lines.perPage.size(), standings[0].words.perPage.size());
    std::vector<std::size_t> pool;
    for (std::size_t i = 0; i < listed; ++i)
        for (const Standing& s : standings)
            if ((i < s.lines.perPage.size() && s.lines.perPage[i]) || (i < s.words.perPage.size() && s.words.perPage[i])) {
                pool.push_back(i);
                break;
            }
    if (pool.empty()) return;

    const std::size_t n = standings.size();
    std::vector<std::vector<double>> lines(n), words(n), overall(n);
    std::mt19937_64 random(seed);
    std::vector<std::int64_t> drawn(listed);
    for (std::int64_t d = 0; d < draws; ++d) {
        std::fill(drawn.begin(), drawn.end(), 0);
        for (std::size_t k = 0; k < pool.size(); ++k) ++drawn[pool[below(random, pool.size())]];
        for (std::size_t p = 0; p < n; ++p) {
            const auto score = [&](const LevelRun& run) {
                Counts sums;
                for (std::size_t i = 0; i < run.perPage.size(); ++i)
                    if (drawn[i] != 0 && run.perPage[i]) sums += times(run.perPage[i]->counts, drawn[i]);
                return computeRates(sums, weights).FM.value_or(0);
            };
            const double l = score(standings[p].lines), w = score(standings[p].words);
            lines[p].push_back(l);
            words[p].push_back(w);
            overall[p].push_back((l + w) / 2);
        }
    }

    std::vector<Confidence> overallSure(n), linesSure(n), wordsSure(n);
    std::vector<std::size_t> overallOrder(n);
    for (std::size_t p = 0; p < n; ++p) {
        overallOrder[p] = p;
        overallSure[p] = interval(overall[p]);
        linesSure[p] = interval(lines[p]);
        wordsSure[p] = interval(words[p]);
    }
    aboveNext(overallSure, overall, overallOrder);
    aboveNext(linesSure, lines, boardOrder(standings, Level::Lines));
    aboveNext(wordsSure, words, boardOrder(standings, Level::Words));
    for (std::size_t p = 0; p < n; ++p) {
        standings[p].overallSure = overallSure[p];
        standings[p].linesSure = linesSure[p];
        standings[p].wordsSure = wordsSure[p];
    }
}

}  // namespace corvanel
