#pragma once

// The error view: a page with every region's pixels coloured by what the
// matching made of it, over the faded page. The window shows it and
// corvanel-eval writes it as PNG; both draw it here.

#include "diagnosis.h"
#include "labelmap.h"

#include <QImage>
#include <QRgb>

#include <filesystem>
#include <string>

namespace corvanel::imaging {

// Okabe-Ito colours, told apart with any colour vision: one2one bluish
// green, split orange, merged reddish purple, missed vermillion, false alarm
// blue.
QRgb statusColour(RegionStatus status);

// An 8-bit image of the page's size: paper white, ink that belongs to no
// region faded to grey, and each labelled pixel in the colour of its status,
// full on ink and as a light tint on paper. Where a pixel belongs to regions
// of both maps, an error wins over a match and ground truth over result.
// The maps must have the page's size; `page` may be of any format.
QImage paintErrorView(const QImage& page, const LabelMap& gt, const LabelMap& rs, const PageDiagnosis& diagnosis);

// <page name>.<lines|words>.errors.png
std::string errorImageName(const std::string& pageName, Level level);

}  // namespace corvanel::imaging
