#include "formats/regions.h"

namespace corvanel {

PolylineDistance::PolylineDistance(const std::vector<Point>& polyline) {
    const auto add = [this](Point a, Point b) {
        const double dx = b.x - a.x, dy = b.y - a.y, length2 = dx * dx + dy * dy;
        segments_.push_back({a.x, a.y, dx, dy, length2 > 0 ? 1 / length2 : 0});
    };
    if (polyline.size() == 1) add(polyline[0], polyline[0]);
    for (std::size_t i = 0; i + 1 < polyline.size(); ++i) add(polyline[i], polyline[i + 1]);
}

}  // namespace corvanel
