#include "run/results.h"

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

}  // namespace corvanel
