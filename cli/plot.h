#pragma once

// Threshold curves of a sweep, drawn to an SVG or PNG file.

#include "run/results.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvanel::cli {

// Picture width; the height is the caption's and the legend's, then three
// charts of kPlotChartHeight.
inline constexpr int kPlotWidth = 900;
inline constexpr int kPlotChartHeight = 250;

// Draws FM, DR and RA against the threshold into `file`, whose extension (.svg
// or .png, any letter case) picks the format: `caption` on top (a plain
// heading when empty), one legend for all, then three stacked charts, each
// with its rate axis fitted to the data. A curve ("participant, level") is a
// line in its participant's colour, solid for lines, dashed for words;
// undefined points are left as gaps. The SVG is written as text, one path a
// curve and chart; the PNG is that SVG drawn by Qt. The file is written whole
// or not at all. Returns an empty string on success, else one sentence naming
// the file and why. Call it from the main thread: it makes a QGuiApplication
// for the call when the program has no application object.
std::string writePlot(const std::filesystem::path& file, const std::vector<Curve>& curves,
                      const std::string& caption = {});

// Qt draws text only once a QGuiApplication exists. Makes one for the rest
// of the process when the program has none: offscreen, Qt's notes on its
// set-up kept quiet, the C locale left as it was. Call it on the main thread
// before other threads draw text. False when the program made another kind
// of application object.
bool keepGuiApplication();

}  // namespace corvanel::cli
