#include "run/results.h"

#include <algorithm>
#include <numeric>

namespace corvanel {

Pooled pool(const Counts& sums, std::int64_t pages, const Weights& weights) {
    return {sums, pages, computeRates(sums, weights)};
}

std::vector<SweepPoint> sweepPoints(const std::string& participant, const LevelRun& run,
                                    const std::vector<std::int32_t>& thresholds) {
    std::vector<SweepPoint> points;
    for (std::size_t t = 0; t < thresholds.size() && t < run.sweep.size(); ++t)
        points.push_back({participant, run.level, thresholds[t], run.sweep[t]});
    return points;
}

std::vector<Curve> curves(const std::vector<SweepPoint>& points) {
    std::vector<Curve> out;
    for (const SweepPoint& p : points) {
        if (out.empty() || out.back().participant != p.participant || out.back().level != levelName(p.level))
            out.push_back({p.participant, levelName(p.level), {}});
        const Rates& r = p.at.rates;
        out.back().points.push_back({p.threshold, r.DR, r.RA, r.FM});
    }
    return out;
}

double boardScore(const LevelRun& run) { return run.totals.rates.FM.value_or(0); }

std::vector<std::size_t> boardOrder(const std::vector<Standing>& standings, Level level) {
    std::vector<std::size_t> order(standings.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto score = [&](std::size_t i) {
        return boardScore(level == Level::Lines ? standings[i].lines : standings[i].words);
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return score(a) != score(b) ? score(a) > score(b) : standings[a].participant.name < standings[b].participant.name;
    });
    return order;
}

}  // namespace corvanel
