#pragma once

// Pages in the Handwriting style: running text in a handwriting font, one
// imagined writer per page (font, size, slant, pen, baseline drift and
// curvature, spacing), jittered per line and word, slightly skewed, with
// scanner specks, and lines that touch on some pages. The ground truth labels
// exactly the ink of each word, and of each line as the union of its words.

#include "tools/synth.h"

#include <QStringList>

namespace corvanel::synth {

// The handwriting font families installed here, in a fixed order.
QStringList handwritingFamilies();

// Needs a QGuiApplication. Throws std::runtime_error when no handwriting font
// is installed. The layout's lines are the page's text lines; words per line
// sets the writing size, so a line holds about that many words.
SyntheticPage makeHandwrittenPage(const PageLayout& layout);

}  // namespace corvanel::synth
