#pragma once

// Text lines and words as page description files give them: polygons in
// page pixels, with an optional baseline, before they become label maps.

#include "eval/labelmap.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace corvanel {

struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Region {
    std::string id;
    std::vector<Point> polygon;   // closed implicitly, last point to first
    std::vector<Point> baseline;  // empty: none
    std::size_t line = 0;         // XML source line of its element, for messages
};

struct RegionDocument {
    enum class Format { Page, Alto };
    Format format = Format::Page;
    std::optional<PageSize> declared;  // the page size the file states, in pixels after any unit scaling
    std::vector<Region> lines, words;
};

// Distances from points to a polyline (a baseline), segment by segment; a
// single point is a polyline too. Squared, which orders points as the
// Euclidean distance does; worked out per segment once, since a page asks
// for it at many pixels.
class PolylineDistance {
public:
    explicit PolylineDistance(const std::vector<Point>& polyline);
    bool empty() const { return segments_.empty(); }
    // Infinity for an empty polyline.
    double squared(Point p) const {
        double best = std::numeric_limits<double>::infinity();
        for (const Segment& s : segments_) {
            const double t = std::clamp(((p.x - s.ax) * s.dx + (p.y - s.ay) * s.dy) * s.inverseLength2, 0.0, 1.0);
            const double ex = p.x - (s.ax + t * s.dx), ey = p.y - (s.ay + t * s.dy);
            best = std::min(best, ex * ex + ey * ey);
        }
        return best;
    }

private:
    struct Segment {
        double ax, ay, dx, dy, inverseLength2;  // 0 for a segment of no length
    };
    std::vector<Segment> segments_;
};

}  // namespace corvanel
