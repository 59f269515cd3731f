#include "formats/rasterise.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace corvanel {

namespace {

// The first index x in [0, limit) whose centre x + 0.5 is at or after c;
// limit when there is none. The comparison is the pixel rule's own, so a
// span's ends agree with a per-pixel test to the last bit.
std::int32_t firstCentreAtOrAfter(double c, std::int32_t limit) {
    if (!(c > 0.5)) return 0;
    if (c > static_cast<double>(limit) - 0.5) return limit;
    auto x = static_cast<std::int32_t>(std::ceil(c - 0.5));
    while (x > 0 && static_cast<double>(x - 1) + 0.5 >= c) --x;
    while (x < limit && static_cast<double>(x) + 0.5 < c) ++x;
    return x;
}

bool finite(const std::vector<Point>& points) {
    return std::all_of(points.begin(), points.end(),
                       [](Point p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

// Pixels [from, to) of row y inside region label - 1.
struct Span {
    std::int32_t y, from, to, label;
};

// Appends the polygon's spans, row by row; whether there was any.
bool addSpans(const std::vector<Point>& polygon, std::int32_t label, PageSize size, std::vector<double>& crossings,
              std::vector<Span>& spans) {
    double top = polygon[0].y, bottom = polygon[0].y;
    for (const Point& p : polygon) {
        top = std::min(top, p.y);
        bottom = std::max(bottom, p.y);
    }
    // Only rows whose centre lies in [top, bottom) can have a crossing.
    const std::int32_t rowEnd = firstCentreAtOrAfter(bottom, size.height);
    bool covered = false;
    for (std::int32_t y = firstCentreAtOrAfter(top, size.height); y < rowEnd; ++y) {
        const double yc = static_cast<double>(y) + 0.5;
        crossings.clear();
        for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
            const Point a = polygon[j], b = polygon[i];
            if ((a.y <= yc) != (b.y <= yc)) {
                const double x = a.x + (yc - a.y) * (b.x - a.x) / (b.y - a.y);
                // A NaN crossing is never beyond a centre: it counts for nothing.
                if (!std::isnan(x)) crossings.push_back(x);
            }
        }
        std::sort(crossings.begin(), crossings.end());
        // Between crossings j - 1 and j, k - j of them lie beyond the centre.
        const std::size_t k = crossings.size();
        for (std::size_t j = k % 2 == 1 ? 0 : 1; j <= k; j += 2) {
            const std::int32_t from = j == 0 ? 0 : firstCentreAtOrAfter(crossings[j - 1], size.width);
            const std::int32_t to = j == k ? size.width : firstCentreAtOrAfter(crossings[j], size.width);
            if (from >= to) continue;
            spans.push_back({y, from, to, label});
            covered = true;
        }
    }
    return covered;
}

// Writes each row once, from the spans that fall on it: no clearing pass,
// and the baselines are consulted only where spans overlap.
class RowWriter {
public:
    RowWriter(const std::vector<Region>& regions, LabelMap& map) : map_(map) {
        baselines_.reserve(regions.size());
        for (const Region& region : regions) baselines_.emplace_back(region.baseline);
    }

    // `spans` holds row y's spans, in label order.
    void write(std::int32_t y, const Span* spans, std::size_t count) {
        std::int32_t* row = map_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(map_.width());
        cuts_.assign({0, map_.width()});
        for (std::size_t i = 0; i < count; ++i) {
            cuts_.push_back(spans[i].from);
            cuts_.push_back(spans[i].to);
        }
        std::sort(cuts_.begin(), cuts_.end());
        cuts_.erase(std::unique(cuts_.begin(), cuts_.end()), cuts_.end());
        // Between two neighbouring cuts the same spans cover every pixel.
        for (std::size_t c = 0; c + 1 < cuts_.size(); ++c) {
            const std::int32_t from = cuts_[c], to = cuts_[c + 1];
            candidates_.clear();
            for (std::size_t i = 0; i < count; ++i)
                if (spans[i].from <= from && to <= spans[i].to) candidates_.push_back(spans[i].label);
            if (candidates_.size() <= 1) {
                std::fill(row + from, row + to, candidates_.empty() ? 0 : candidates_[0]);
                continue;
            }
            const double yc = static_cast<double>(y) + 0.5;
            for (std::int32_t x = from; x < to; ++x) row[x] = owner({static_cast<double>(x) + 0.5, yc});
        }
    }

private:
    bool hasBaseline(std::int32_t label) const { return !baselines_[static_cast<std::size_t>(label - 1)].empty(); }
    double distance(std::int32_t label, Point p) const {
        return baselines_[static_cast<std::size_t>(label - 1)].squared(p);
    }

    // The candidates folded in document order: the nearer baseline when
    // both have one, a tie and a missing baseline going to the later.
    std::int32_t owner(Point centre) const {
        std::int32_t winner = candidates_[0];
        double winnerDistance = std::numeric_limits<double>::quiet_NaN();  // not yet needed
        for (std::size_t i = 1; i < candidates_.size(); ++i) {
            const std::int32_t later = candidates_[i];
            if (!hasBaseline(winner) || !hasBaseline(later)) {
                winner = later;
                winnerDistance = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            if (std::isnan(winnerDistance)) winnerDistance = distance(winner, centre);
            const double laterDistance = distance(later, centre);
            if (laterDistance <= winnerDistance) {
                winner = later;
                winnerDistance = laterDistance;
            }
        }
        return winner;
    }

    LabelMap& map_;
    std::vector<std::int32_t> cuts_;
    std::vector<std::int32_t> candidates_;
    std::vector<PolylineDistance> baselines_;
};

}  // namespace

LabelMap rasterise(const std::vector<Region>& regions, PageSize size, std::vector<std::string>* warnings) {
    if (regions.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw std::length_error("more regions than 32-bit labels");
    size = {std::max(size.width, 0), std::max(size.height, 0)};
    std::vector<Span> spans;
    std::vector<double> crossings;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& region = regions[i];
        if (region.polygon.size() < 3) {
            if (warnings) warnings->push_back("region " + region.id + " has fewer than three points");
        } else if (!finite(region.polygon) ||
                   !addSpans(region.polygon, static_cast<std::int32_t>(i + 1), size, crossings, spans)) {
            if (warnings) warnings->push_back("region " + region.id + " lies outside the page");
        }
    }
    // Stable: within a row the spans stay in label order, which the fold needs.
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.y < b.y; });

    LabelMap map(size.width, size.height);
    RowWriter writer(regions, map);
    std::size_t next = 0;
    for (std::int32_t y = 0; y < size.height; ++y) {
        std::size_t end = next;
        while (end < spans.size() && spans[end].y == y) ++end;
        writer.write(y, spans.data() + next, end - next);
        next = end;
    }
    return map;
}

}  // namespace corvanel
