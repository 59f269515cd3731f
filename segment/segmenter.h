#pragma once

// A baseline segmentation method: text lines from ink projection profiles
// taken in vertical bands and linked across the page, words from the gaps
// along each line. Plain C++, no Qt.

#include "eval/labelmap.h"

#include <cstddef>
#include <cstdint>

namespace corvanel::segment {

// A bilevel page as a caller holds it; the pixels are only read.
struct BilevelPage {
    enum class Packing {
        Bytes,  // one byte a pixel, ink where it is not 0
        Bits,   // one bit a pixel, most significant bit first, ink where the bit is 1
    };
    std::int32_t width = 0;
    std::int32_t height = 0;
    const std::uint8_t* pixels = nullptr;
    std::size_t stride = 0;  // bytes from one row to the next
    Packing packing = Packing::Bytes;
};

struct Segmentation {
    // Both width x height; 0 on paper and on ink that is not writing
    // (specks, page edges and borders, ruled lines and frames); the
    // writing's pixels carry their line (1..lineCount) or word
    // (1..wordCount, unique over the page, each word's ink inside one line).
    LabelMap lines, words;
    std::int32_t lineCount = 0;
    std::int32_t wordCount = 0;
};

// The method's settings. Most lengths are relative to the pen (the median ink run),
// the writing's height (the median height of what is not a speck), or the
// line spacing, so that one setting suits many resolutions.
struct Tuning {
    // Ink
    double speckMinArea = 3;        // blots smaller than this many pixels are specks...
    double speckPenShare = 0.5;     // ...and so are those below this share of a square of pen
    std::int32_t edgeMarginDivisor = 200;  // a page's edge: its shorter side over this...
    std::int32_t edgeMarginMin = 2;        // ...but at least this many pixels
    double edgeLength = 4;          // ink at the edge this long (in writing heights) is a border
    double ruleLength = 8;          // thin strokes this long (in writing heights) are rules or frames
    double rulePens = 3;            // a rule is no thicker than this many pens...
    double ruleHeightShare = 0.5;   // ...or this share of the writing's height
    double ruleClearance = 0.5;     // a rule's cross-section has this much paper (in writing heights) either side
    double ruleGapPens = 2;         // a rule's ink may break for this many pens...
    double ruleCover = 0.8;         // ...but covers this share of its length

    // Line spacing
    double fallbackSpacing = 1.5;   // spacing (in writing heights) when the page shows no period
    double minSpacing = 8;          // no spacing below this many pixels
    std::int32_t probeBandWidth = 250;  // width in pixels of the narrow bands that measure the spacing...
    std::int32_t probeBandsMax = 8;     // ...and at most this many of them
    std::int32_t binRowsAbove = 2000;   // pages taller than this are measured on rows binned in pairs
    double letterSigmaDivisor = 12;  // smoothing of those profiles: the fallback spacing over this
    double minSpacingDivisor = 3;    // lines are at least the fallback spacing over this apart...
    std::size_t minPeriods = 3;      // ...and the page holds at least this many of them
    double minPeriodScore = 0.2;     // a weaker best period gives way to the fallback
    double fractionScoreShare = 0.8;    // a third or half of the period wins if it scores this share...
    std::size_t fractionReachDivisor = 8;  // ...within that fraction over this either side

    // Text areas
    double areaMarkHeights = 0.5;   // pieces smaller than this (in writing heights) neither part areas nor join them
    double areaRowGap = 1.0;        // white rows this tall (in line spacings) part the areas above and below
    double areaColumnGap = 0.5;     // columns this wide (in line spacings), nearly white, part columns and glosses...
    double areaGapShare = 0.05;     // ...where ink runs down no more than this share of the area's height...
    double areaColumnLines = 2.0;   // ...when each side holds writing this many line spacings tall;
    double areaWordGap = 1.5;       // else a gap must be this wide (in line spacings) to part them
    double areaMinInk = 0.1;        // an area with less ink than this share of a full line holds no writing
    double areaOwnSpacingLines = 1.5;  // a gloss this many page line spacings tall measures its own spacing...
    double areaSpacingLow = 0.5;    // ...and keeps it within these shares of the page's
    double areaSpacingHigh = 1.5;

    // Bands and tracks (in line spacings unless said otherwise)
    double bandSpacings = 2;        // band step...
    double maxBands = 24;           // ...but no more bands than this
    double bandWindowSteps = 2;     // band width in steps: neighbours overlap by half
    double smoothSigma = 0.2;       // smoothing of profiles for drift and peaks
    double lightSigma = 0.08;       // lighter smoothing of profiles for separators
    double maxDrift = 0.3;          // shift of lines between neighbouring bands
    double peakDistance = 0.5;      // peaks closer than this are one line
    std::size_t peakValleyReach = 3;  // peaks nearer than this many peak distances need a valley between...
    double peakValleyShare = 0.75;  // ...below this share of the lower peak
    double peakFloorQuantile = 0.75;  // a line's usual peak: this quantile of all peaks...
    double peakFloorShare = 0.15;     // ...and weaker peaks than this share of it are dropped
    double alignScale = 0.25;       // distance at which a peak matched to a track costs as one left out
    double alignReach = 0.45;       // no match to a track farther than this
    double mergeReach = 0.3;        // broken tracks closer than this are one line
    double valleyShare = 0.05;      // a separator runs mid-way along the widest stretch of rows within
                                    // this share of the profile's range above the valley's floor

    // Lines kept
    double fullLineQuantile = 0.75;  // a full line's ink: this quantile of the lines' (an area's or the page's)
    double splinterShare = 0.25;     // a line with less than this share of a full line's ink...
    double splinterReach = 0.5;      // ...and its middle this near (in line spacings) a heavier one joins it,
    double splinterSpread = 0.1;     // when over or under it: its ink but this share at either end
    double scrapShare = 0.1;         // a line with less than this share of a full line's ink...
    double scrapSpacings = 1.5;      // ...no wider than this many line spacings holds scraps, left out

    // Components to lines
    double wholeShare = 0.85;       // a component with this share of its ink in one line goes whole to it
    double coreHalf = 0.2;          // half-height (in line spacings) of a line's core around its centre

    // Words
    double minSlant = -0.6;         // slants tried, in columns per row...
    double maxSlant = 1.0;
    double slantStep = 0.05;
    double minWordGap = 0.08;       // no gap narrower than this (in line spacings) parts words...
    double xHeightGap = 0.4;        // ...nor one narrower than this share of the line's x-height
    std::size_t minLineGaps = 3;    // a line with this many gaps finds its own threshold...
    double lineGapLow = 0.75;       // ...within these shares of the page's
    double lineGapHigh = 1.33;
};

Segmentation segmentPage(const BilevelPage& page, const Tuning& tuning = {});

}  // namespace corvanel::segment
