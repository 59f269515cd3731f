#pragma once

// Synthetic handwritten pages: ink strokes grouped into words and lines, the
// ground truth at both levels and a plausibly imperfect result (splits,
// merges, shifted borders, missed and spurious regions).

#include "labelmap.h"

#include <cstdint>
#include <filesystem>

namespace corvanel::synth {

struct PageLayout {
    std::int32_t width = 2500;
    std::int32_t height = 3500;
    std::int32_t lines = 30;
    std::int32_t wordsPerLine = 10;
    std::uint64_t seed = 1;
    double errorRate = 0.15;  // share of words the result gets wrong
};

struct SyntheticPage {
    LabelMap gtLines, gtWords;
    LabelMap rsLines, rsWords;
};

SyntheticPage makePage(const PageLayout& layout);

// Writes a map in the label-map file format, with the 8-byte size header on request.
void writeLabelMap(const std::filesystem::path& path, const LabelMap& map, bool header = false);

}  // namespace corvanel::synth
