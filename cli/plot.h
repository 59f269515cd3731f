#pragma once

// Threshold curves of a sweep, drawn to an SVG or PNG file.

#include "run/results.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvanel::cli {

// Picture size; the height grows only when the legend needs more room.
inline constexpr int kPlotWidth = 900;
inline constexpr int kPlotMinHeight = 1000;

// Draws FM, DR and RA against the threshold into `file`, whose extension (.svg
// or .png, any letter case) picks the format: three stacked charts, one line
// per curve ("participant, level"), undefined points left as gaps. The file
// is written whole or not at all. Returns an empty string on success, else one
// sentence naming the file and why. Call it from the main thread: it makes a
// QApplication for the call when the program has no application object.
std::string writePlot(const std::filesystem::path& file, const std::vector<Curve>& curves);

}  // namespace corvanel::cli
