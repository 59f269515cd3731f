#pragma once

#include "tools/synth.h"

#include <filesystem>

namespace corvanel::synth {

// Writes `pages` synthetic pages into a workspace folder: images/pageNN.tif
// (black-and-white TIFF of the ink), the ground truth, and the imperfect
// result into the workspace's results or, given a name, that participant's
// folder. Page p uses the seed layout.seed + p. The Handwriting style needs
// a QGuiApplication. Throws std::runtime_error when a file cannot be
// written.
void writeWorkspace(const std::filesystem::path& folder, int pages, PageLayout layout, bool header = false,
                    const std::string& participant = {});

// The page of the layout's style.
SyntheticPage makeAnyPage(const PageLayout& layout);

// A black-and-white image of the map's non-zero pixels and the specks as ink:
// group-4 TIFF for .tif and .tiff, otherwise whatever Qt writes for the
// extension (PNG, BMP). False when it cannot be written.
bool writeInkImage(const std::filesystem::path& path, const LabelMap& map,
                   const std::vector<std::size_t>& specks = {});

}  // namespace corvanel::synth
