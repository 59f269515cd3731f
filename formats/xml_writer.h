#pragma once

// Writes a segmentation's label maps as PAGE XML or ALTO, so transcription
// tools can open it: each region traced to a polygon and a baseline.

#include "eval/labelmap.h"
#include "formats/regions.h"

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel {

// One Region per label other than 0 in the map, in ascending label order,
// with id idPrefix + label ("l12").
//
// Polygon: the region's box is cut into strips of 8 columns (the last one
// narrower), and each strip with pixels of the region contributes the span
// from its topmost row to its bottommost, on pixel edges; strips without
// any are bridged. The polygon is simple and x-monotone, has whole-pixel
// corners and no collinear runs, and holds every pixel of the region by the
// rasteriser's rule. It holds more than the region where a strip's rows
// are not all the region's, so neighbours' polygons may overlap, which the
// baselines settle.
//
// Baseline: from the box's left edge to its right edge through, at each
// strip's centre, the bottom edge of the row by which 90% of the strip's
// pixels are reached from the top, as the median over the strip and up to
// two neighbours on each side; at least two points.
//
// Three passes over the map; memory a few words per strip.
std::vector<Region> outlineRegions(const LabelMap& map, std::string_view idPrefix);

// A word that belongs to no line.
inline constexpr std::size_t noLine = std::numeric_limits<std::size_t>::max();

// For each word (label of `words` other than 0, ascending, as outlineRegions
// gives them) the index of the line (label of `lines`, likewise) sharing the
// most pixels with it, the lower index on a tie, noLine when none. The maps
// must be of one size (std::invalid_argument).
std::vector<std::size_t> lineOfEachWord(const LabelMap& lines, const LabelMap& words);

// doc.lines and doc.words as a PAGE XML 2019 or ALTO v4 document for an
// image of `size` named `imageFileName`; doc.format and doc.declared are
// not consulted. Word i goes inside line wordLine[i], words of a line
// ordered by their left edge. Both schemas want a word's element inside a
// line's: a word with noLine gets a TextLine of its own, id
// "<word id>_line", and in ALTO, where a TextLine needs a String, a line
// without words gets one of its shape, id "<line id>_word"; readers then
// count these as lines and words. The lines sit in one TextRegion /
// TextBlock "r1". Coordinates are rounded to whole pixels within the page,
// as PAGE requires. `timestamp` (ISO 8601) dates the file; empty: now, in
// UTC. std::invalid_argument when wordLine does not match the words.
std::string writeRegionXml(RegionDocument::Format format, const RegionDocument& doc,
                           const std::vector<std::size_t>& wordLine, PageSize size,
                           std::string_view imageFileName, std::string_view timestamp = {});

}  // namespace corvanel
