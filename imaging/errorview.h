#pragma once

// The error view: a page with every region's pixels coloured by what the
// matching made of it, over the faded page. The window shows it and
// corvanel-eval writes it as PNG; both draw it here.

#include "eval/diagnosis.h"
#include "eval/labelmap.h"

#include <QFont>
#include <QImage>
#include <QRgb>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

#include <filesystem>
#include <string>
#include <vector>

namespace corvanel::imaging {

// The font of the text written into pictures (legends, captions, plots):
// Liberation Sans, or Arial's metrics where it is missing.
QFont pictureFont(int pixels, bool bold);

// Okabe-Ito colours, told apart with any colour vision: one2one bluish
// green, split orange, merged reddish purple, missed vermillion, false alarm
// blue.
QRgb statusColour(RegionStatus status);

// Paints the error view from the two maps fed slice by slice, the same
// labels of both at a time, from the first on: an 8-bit image of the maps'
// size, paper white, ink that belongs to no region faded to grey, and each
// labelled pixel in the colour of its status, full on ink and as a light tint
// on paper. Where a pixel belongs to regions of both maps, an error wins over
// a match and ground truth over result. `page` may be of any format; a page
// of another size than the maps is not drawn.
class ErrorViewPainter {
public:
    ErrorViewPainter(const QImage& page, PageSize size, const PageDiagnosis& diagnosis);
    void add(const std::int32_t* gt, const std::int32_t* rs, std::size_t count);
    // The picture; null when it could not be allocated.
    QImage finish() { return std::move(out_); }

private:
    const PageDiagnosis& diagnosis_;
    bool drawn_ = false;  // the page was drawn under the regions
    QImage out_;
    std::size_t fed_ = 0;
    std::int32_t lastGt_ = 0, lastRs_ = 0;
    std::uint8_t gtStatus_ = 0xFF, rsStatus_ = 0xFF;
};

// The same on whole maps of one size.
QImage paintErrorView(const QImage& page, const LabelMap& gt, const LabelMap& rs, const PageDiagnosis& diagnosis);

// Two participants' diagnoses of one page side by side: the ground-truth
// labels, ascending, that one matches one to one and the other does not.
struct MatchDifference {
    std::vector<std::int32_t> firstOnly, secondOnly;
};
// Both diagnoses must come from the same ground truth.
MatchDifference matchDifference(const PageDiagnosis& first, const PageDiagnosis& second);

// Okabe-Ito blue for the first participant, orange for the second.
QRgb comparisonColour(bool first);

// The comparison view: the page faded as in the error view, with the pixels
// of the first's regions in its colour and the second's in its own, full on
// ink and tinted on paper; every other ground-truth region stays faded ink.
QImage paintComparisonView(const QImage& page, const LabelMap& gt, const MatchDifference& difference);

// How many regions of each side have each status.
struct StatusCounts {
    std::array<std::int64_t, kRegionStatusCount> gt{}, result{};
};
StatusCounts statusCounts(const PageDiagnosis& diagnosis);

// The view as a picture on its own: below it a strip with `caption` and a
// legend, each status's colour, name and count (ground truth's statuses and
// the result's false alarms). `view` is as ErrorViewPainter paints it; its
// colour table comes first in the picture's, so the page's pixels keep their
// indices, and the legend's swatches have entries of their own. The picture
// is as wide as the view, or wider when the view is too narrow for the text.
// Text needs a QGuiApplication; once there is one any thread may call this.
// Null when the picture cannot be allocated.
QImage withLegend(const QImage& view, const StatusCounts& counts, const QString& caption);

}  // namespace corvanel::imaging
