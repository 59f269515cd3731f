#pragma once

// Synthetic handwritten pages: ink strokes grouped into words and lines, the
// ground truth at both levels and a plausibly imperfect result (splits,
// merges, shifted borders, missed and spurious regions).

#include "eval/labelmap.h"

#include <cstdint>
#include <filesystem>
#include <random>
#include <vector>

namespace corvanel::synth {

enum class PageStyle {
    Glyphs,       // pseudo-cursive loops in a strict grid; no Qt needed
    Handwriting,  // text in handwriting fonts, one writer per page (workspace.h)
};

struct PageLayout {
    std::int32_t width = 2500;
    std::int32_t height = 3500;
    std::int32_t lines = 30;
    std::int32_t wordsPerLine = 10;
    std::uint64_t seed = 1;
    double errorRate = 0.15;  // share of words the result gets wrong
    PageStyle style = PageStyle::Glyphs;
};

struct SyntheticPage {
    LabelMap gtLines, gtWords;
    LabelMap rsLines, rsWords;
    std::vector<std::size_t> specks;  // pixel offsets of ink that belongs to no word (scanner noise)
};

struct Box {
    std::int32_t left, top, right, bottom;  // right, bottom exclusive
};

// A page in the Glyphs style.
SyntheticPage makePage(const PageLayout& layout);

// A blank page: four zeroed maps of the layout's size.
SyntheticPage blankPage(const PageLayout& layout);

// Turns the result maps, copies of the truth, into a plausibly imperfect
// result: words split, merged, missed or with a moved border, lines joined or
// cut, and result word labels unrelated to the truth's. words[l] are the boxes
// of line l's words in reading order, word labels 1, 2, ... in that order;
// lines[l] bounds line l, whose label is l + 1.
void spoilResult(SyntheticPage& page, const std::vector<std::vector<Box>>& words, const std::vector<Box>& lines,
                 double errorRate, std::mt19937_64& rng);

// Writes a map in the label-map file format, with the 8-byte size header on request.
void writeLabelMap(const std::filesystem::path& path, const LabelMap& map, bool header = false);

}  // namespace corvanel::synth
