#pragma once

// Turns regions' polygons into a label map, the form the evaluation reads.
//
// Pixel rule: pixel (x, y) belongs to a polygon when its centre
// (x + 0.5, y + 0.5) is inside by the even-odd rule, the polygon closed from
// its last point to its first. An edge (x0,y0)-(x1,y1) crosses the row of
// centres at height yc when (y0 <= yc) != (y1 <= yc), at
// x = x0 + (yc - y0) * (x1 - x0) / (y1 - y0); the centre xc is inside when
// an odd number of these crossings have x > xc. So a self-intersecting
// polygon is filled even-odd, and a centre on a horizontal or vertical edge
// belongs to the polygon below or right of it. Polygons are clipped to the page;
// their coordinates may lie anywhere, but must be finite (a polygon with a
// vertex that is not covers nothing).
//
// Overlaps: a pixel inside several polygons goes to the region whose
// baseline lies nearest its centre (Euclidean distance to the baseline
// polyline). The candidates are taken in document order, each later one b
// against the owner a so far: when both have a baseline the nearer wins, a
// tie going to b; when either has none, b wins.

#include "eval/labelmap.h"
#include "formats/regions.h"

#include <string>
#include <vector>

namespace corvanel {

// A size.width x size.height map, 0 for background and i + 1 for
// regions[i]. A region with fewer than three points, or whose polygon covers
// no pixel centre of the page, keeps its label with no pixel, and a warning
// naming it goes to `warnings` when given.
LabelMap rasterise(const std::vector<Region>& regions, PageSize size, std::vector<std::string>* warnings = nullptr);

}  // namespace corvanel
