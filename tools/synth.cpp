#include "synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

namespace corvanel::synth {

namespace {

struct Box {
    std::int32_t left, top, right, bottom;  // right, bottom exclusive
};

// Draws one word's ink: a wavy baseline stroke and upright strokes of varying
// height, a few pixels thick, like cursive script at scanning resolution.
void drawWord(LabelMap& map, const Box& b, std::int32_t label, std::mt19937_64& rng) {
    const std::int32_t h = b.bottom - b.top;
    const std::int32_t mid = b.top + h / 2;
    std::uniform_int_distribution<std::int32_t> pen(2, 4);
    std::uniform_int_distribution<std::int32_t> gap(6, 14);
    std::uniform_int_distribution<std::int32_t> reach(h / 6, h / 2);
    auto put = [&](std::int32_t x, std::int32_t y) {
        if (x >= b.left && x < b.right && y >= b.top && y < b.bottom)
            map.data()[static_cast<std::size_t>(y) * static_cast<std::size_t>(map.width()) +
                       static_cast<std::size_t>(x)] = label;
    };
    const std::int32_t thick = pen(rng);
    for (std::int32_t x = b.left; x < b.right; ++x) {
        const std::int32_t wave = static_cast<std::int32_t>(3 * std::sin(x * 0.21));
        for (std::int32_t t = 0; t < thick; ++t) put(x, mid + h / 5 + wave + t);
    }
    for (std::int32_t x = b.left + 2; x < b.right - 2; x += gap(rng)) {
        const std::int32_t up = reach(rng);
        const std::int32_t down = reach(rng) / 3;
        const std::int32_t slant = pen(rng) - 3;
        for (std::int32_t y = mid - up; y < mid + h / 5 + down; ++y)
            for (std::int32_t t = 0; t < thick; ++t) put(x + t + (y - mid) * slant / 16, y);
    }
}

void relabelBox(LabelMap& map, const Box& b, std::int32_t from, std::int32_t to) {
    for (std::int32_t y = b.top; y < b.bottom; ++y) {
        std::int32_t* row = map.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(map.width());
        for (std::int32_t x = b.left; x < b.right; ++x)
            if (row[x] == from) row[x] = to;
    }
}

LabelMap blank(const PageLayout& layout) {
    LabelMap map(layout.width, layout.height);
    std::fill_n(map.data(), map.pixelCount(), 0);
    return map;
}

}  // namespace

SyntheticPage makePage(const PageLayout& layout) {
    std::mt19937_64 rng(layout.seed);
    SyntheticPage page{blank(layout), blank(layout), blank(layout), blank(layout)};

    const std::int32_t margin = layout.width / 20;
    const std::int32_t lineHeight = (layout.height - 2 * margin) / std::max(1, layout.lines);
    const std::int32_t slot = (layout.width - 2 * margin) / std::max(1, layout.wordsPerLine);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<std::int32_t> jitter(0, std::max(1, slot / 8));

    std::vector<std::vector<Box>> words(static_cast<std::size_t>(layout.lines));
    std::int32_t wordLabel = 0;
    for (std::int32_t l = 0; l < layout.lines; ++l) {
        const std::int32_t top = margin + l * lineHeight + lineHeight / 8;
        const std::int32_t bottom = margin + (l + 1) * lineHeight - lineHeight / 8;
        for (std::int32_t w = 0; w < layout.wordsPerLine; ++w) {
            const Box b{margin + w * slot + jitter(rng), top, margin + (w + 1) * slot - jitter(rng) - slot / 10,
                        bottom};
            if (b.right - b.left < 4) continue;
            words[static_cast<std::size_t>(l)].push_back(b);
            drawWord(page.gtWords, b, ++wordLabel, rng);
        }
    }

    // Lines are the words of one line together; the result starts as a copy
    // of the truth under other label numbers and is then spoiled.
    std::copy_n(page.gtWords.data(), page.gtWords.pixelCount(), page.rsWords.data());
    std::int32_t nextLabel = wordLabel + 1;
    wordLabel = 0;
    for (std::int32_t l = 0; l < layout.lines; ++l) {
        for (const Box& b : words[static_cast<std::size_t>(l)]) {
            ++wordLabel;
            for (std::int32_t y = b.top; y < b.bottom; ++y)
                for (std::int32_t x = b.left; x < b.right; ++x) {
                    const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(layout.width) +
                                           static_cast<std::size_t>(x);
                    if (page.gtWords.data()[at] == wordLabel) {
                        page.gtLines.data()[at] = l + 1;
                        page.rsLines.data()[at] = l + 1;
                    }
                }
        }
    }

    wordLabel = 0;
    for (std::int32_t l = 0; l < layout.lines; ++l) {
        const auto& line = words[static_cast<std::size_t>(l)];
        for (std::size_t w = 0; w < line.size(); ++w) {
            ++wordLabel;
            const Box& b = line[w];
            const double roll = chance(rng);
            const double e = layout.errorRate;
            if (roll < e * 0.35) {  // split in two
                Box right = b;
                right.left = b.left + (b.right - b.left) / 2;
                relabelBox(page.rsWords, right, wordLabel, nextLabel++);
            } else if (roll < e * 0.65 && w + 1 < line.size()) {  // merged with the next word
                relabelBox(page.rsWords, line[w + 1], wordLabel + 1, wordLabel);
            } else if (roll < e * 0.8) {  // missed
                relabelBox(page.rsWords, b, wordLabel, 0);
            } else if (roll < e) {  // border moved into the neighbour's ink
                Box edge = b;
                edge.left = b.right - (b.right - b.left) / 4;
                relabelBox(page.rsWords, edge, wordLabel, nextLabel++);
            }
        }
        // Lines: now and then the result joins two lines or cuts one.
        const double roll = chance(rng);
        const Box span{0, margin + l * lineHeight, layout.width, margin + (l + 1) * lineHeight};
        if (roll < layout.errorRate * 0.2 && l + 1 < layout.lines) {
            relabelBox(page.rsLines, Box{0, span.bottom, layout.width, span.bottom + lineHeight}, l + 2, l + 1);
        } else if (roll < layout.errorRate * 0.4) {
            relabelBox(page.rsLines, Box{layout.width / 2, span.top, layout.width, span.bottom}, l + 1,
                       layout.lines + l + 1);
        }
    }
    // Relabel the result words so the two sides' numbers are unrelated.
    for (std::size_t i = 0; i < page.rsWords.pixelCount(); ++i)
        if (page.rsWords.data()[i] != 0) page.rsWords.data()[i] = 1000 + 7 * page.rsWords.data()[i];
    return page;
}

void writeLabelMap(const std::filesystem::path& path, const LabelMap& map, bool header) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (header) {
        const std::int32_t size[2] = {map.width(), map.height()};
        out.write(reinterpret_cast<const char*>(size), sizeof size);
    }
    out.write(reinterpret_cast<const char*>(map.data()),
              static_cast<std::streamsize>(map.pixelCount() * sizeof(std::int32_t)));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace corvanel::synth
