#include "tools/synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

namespace corvanel::synth {

namespace {

// Draws one word's ink as cursive script: letters of a few shapes (round
// bodies, ascender and descender loops, arches) joined along a slightly
// wavy, slanted baseline, with a round pen a few pixels wide. Everything
// stays inside the word's box, so words never touch.
void drawWord(LabelMap& map, const Box& b, std::int32_t label, std::mt19937_64& rng) {
    const double h = b.bottom - b.top;
    const double xHeight = h * 0.28;
    const double baseline = b.top + h * 0.62;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double pen = 1.0 + 2.0 * unit(rng);
    const double slant = 0.15 + 0.25 * unit(rng);
    const auto r = static_cast<std::int32_t>(std::ceil(pen));

    auto dot = [&](double cx, double cy) {
        const double sx = cx + slant * (baseline - cy);
        for (std::int32_t dy = -r; dy <= r; ++dy)
            for (std::int32_t dx = -r; dx <= r; ++dx) {
                if (dx * dx + dy * dy > pen * pen) continue;
                const auto x = static_cast<std::int32_t>(sx) + dx;
                const auto y = static_cast<std::int32_t>(cy) + dy;
                if (x >= b.left && x < b.right && y >= b.top && y < b.bottom)
                    map.data()[static_cast<std::size_t>(y) * static_cast<std::size_t>(map.width()) +
                               static_cast<std::size_t>(x)] = label;
            }
    };
    // An ellipse arc from angle a0 to a1 around (cx, cy).
    auto arc = [&](double cx, double cy, double rx, double ry, double a0, double a1) {
        const int steps = std::max(8, static_cast<int>((rx + ry) * std::abs(a1 - a0) / pen));
        for (int k = 0; k <= steps; ++k) {
            const double a = a0 + (a1 - a0) * k / steps;
            dot(cx + rx * std::cos(a), cy - ry * std::sin(a));
        }
    };
    auto line = [&](double x0, double y0, double x1, double y1) {
        const int steps = std::max(2, static_cast<int>(std::hypot(x1 - x0, y1 - y0) / pen) + 1);
        for (int k = 0; k <= steps; ++k) dot(x0 + (x1 - x0) * k / steps, y0 + (y1 - y0) * k / steps);
    };

    const double pi = 3.14159265358979;
    const double right = b.right - slant * h * 0.5 - pen;
    double x = b.left + pen + slant * (baseline - b.top) * 0.3;
    double wave = unit(rng) * 6.28;
    while (true) {
        const double w = xHeight * (0.55 + 0.5 * unit(rng));
        if (x + w > right) break;
        const double y0 = baseline + 1.5 * std::sin(wave);
        wave += 0.9;
        const double shape = unit(rng);
        if (shape < 0.35) {  // round body, like a, o, e
            arc(x + w / 2, y0 - xHeight / 2, w / 2, xHeight / 2, 0, 2 * pi);
        } else if (shape < 0.55) {  // ascender loop, like l, h, b
            const double top = y0 - xHeight * (1.9 + 0.5 * unit(rng));
            arc(x + w / 2, (y0 + top) / 2, w / 3, (y0 - top) / 2, -pi / 2, 1.5 * pi);
        } else if (shape < 0.7) {  // descender, like g, y, p
            const double depth = xHeight * (0.9 + 0.4 * unit(rng));
            arc(x + w / 2, y0 - xHeight / 2, w / 2, xHeight / 2, 0, 2 * pi);
            line(x + w, y0 - xHeight / 2, x + w, y0 + depth - w / 3);
            arc(x + w * 2 / 3, y0 + depth - w / 3, w / 3, w / 3, 0, -pi);
        } else {  // arches, like m, n, u
            arc(x + w / 4, y0 - xHeight / 2, w / 4, xHeight / 2, 0, pi);
            arc(x + 3 * w / 4, y0 - xHeight / 2, w / 4, xHeight / 2, 0, pi);
            line(x + w, y0 - xHeight / 2, x + w, y0);
        }
        // The joining stroke to the next letter.
        const double gap = pen + xHeight * 0.25 * unit(rng);
        line(x + w, y0, x + w + gap, baseline + 1.5 * std::sin(wave));
        x += w + gap;
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

SyntheticPage blankPage(const PageLayout& layout) {
    return SyntheticPage{blank(layout), blank(layout), blank(layout), blank(layout), {}};
}

SyntheticPage makePage(const PageLayout& layout) {
    std::mt19937_64 rng(layout.seed);
    SyntheticPage page = blankPage(layout);

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

    // Lines are the words of one line together.
    wordLabel = 0;
    for (std::int32_t l = 0; l < layout.lines; ++l) {
        for (const Box& b : words[static_cast<std::size_t>(l)]) {
            ++wordLabel;
            for (std::int32_t y = b.top; y < b.bottom; ++y)
                for (std::int32_t x = b.left; x < b.right; ++x) {
                    const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(layout.width) +
                                           static_cast<std::size_t>(x);
                    if (page.gtWords.data()[at] == wordLabel) page.gtLines.data()[at] = l + 1;
                }
        }
    }
    std::vector<Box> lines;
    for (std::int32_t l = 0; l < layout.lines; ++l)
        lines.push_back(Box{0, margin + l * lineHeight, layout.width, margin + (l + 1) * lineHeight});
    spoilResult(page, words, lines, layout.errorRate, rng);
    return page;
}

void spoilResult(SyntheticPage& page, const std::vector<std::vector<Box>>& words, const std::vector<Box>& lines,
                 double errorRate, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::copy_n(page.gtWords.data(), page.gtWords.pixelCount(), page.rsWords.data());
    std::copy_n(page.gtLines.data(), page.gtLines.pixelCount(), page.rsLines.data());
    std::int32_t nextLabel = 1;
    for (const auto& line : words) nextLabel += static_cast<std::int32_t>(line.size());
    const auto lineCount = static_cast<std::int32_t>(lines.size());

    std::int32_t wordLabel = 0;
    for (std::int32_t l = 0; l < lineCount; ++l) {
        const auto& line = words[static_cast<std::size_t>(l)];
        for (std::size_t w = 0; w < line.size(); ++w) {
            ++wordLabel;
            const Box& b = line[w];
            const double roll = chance(rng);
            const double e = errorRate;
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
        const Box& span = lines[static_cast<std::size_t>(l)];
        if (roll < errorRate * 0.2 && l + 1 < lineCount) {
            relabelBox(page.rsLines, lines[static_cast<std::size_t>(l) + 1], l + 2, l + 1);
        } else if (roll < errorRate * 0.4) {
            relabelBox(page.rsLines, Box{span.left + (span.right - span.left) / 2, span.top, span.right, span.bottom},
                       l + 1, lineCount + l + 1);
        }
    }
    // Relabel the result words so the two sides' numbers are unrelated.
    for (std::size_t i = 0; i < page.rsWords.pixelCount(); ++i)
        if (page.rsWords.data()[i] != 0) page.rsWords.data()[i] = 1000 + 7 * page.rsWords.data()[i];
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
