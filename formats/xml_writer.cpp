#include "formats/xml_writer.h"

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

namespace corvanel {

namespace {

constexpr std::int32_t stripWidth = 8;

// Every run of one non-zero label in a row: visit(label, y, from, to), columns [from, to).
template <class Visit>
void eachRun(const LabelMap& map, Visit visit) {
    const std::int32_t* labels = map.data();
    for (std::int32_t y = 0; y < map.height(); ++y) {
        const std::int32_t* row = labels + static_cast<std::size_t>(y) * static_cast<std::size_t>(map.width());
        for (std::int32_t x = 0; x < map.width();) {
            const std::int32_t label = row[x], from = x;
            while (x < map.width() && row[x] == label) ++x;
            if (label != 0) visit(label, y, from, x);
        }
    }
}

// Region index by label, looked up once per run and remembered for the next.
class LabelIndex {
public:
    explicit LabelIndex(const RegionTable& table) : index_(table.regions.size()) {
        for (std::size_t i = 0; i < table.regions.size(); ++i) index_[key(table.regions[i].label)] = i;
    }
    std::size_t operator()(std::int32_t label) {
        if (label != lastLabel_) {
            lastLabel_ = label;
            last_ = index_[key(label)];
        }
        return last_;
    }

private:
    static std::uint64_t key(std::int32_t label) { return static_cast<std::uint64_t>(label); }
    detail::FlatMap<std::size_t> index_;
    std::int32_t lastLabel_ = 0;
    std::size_t last_ = 0;
};

struct Strip {
    std::int32_t top = -1, bottom = -1;  // rows of the region's first and last pixel in it; -1: none
    std::int32_t baselineRow = -1;
    std::int64_t pending = 0;  // pixels, then pixels still to pass before the baseline row
};

struct IntPoint {
    std::int64_t x, y;
    friend bool operator==(const IntPoint&, const IntPoint&) = default;
};

// b lies on the way from a to c, so it adds nothing.
bool redundant(IntPoint a, IntPoint b, IntPoint c) {
    const std::int64_t ux = b.x - a.x, uy = b.y - a.y, vx = c.x - b.x, vy = c.y - b.y;
    return ux * vy == uy * vx && ux * vx + uy * vy > 0;
}

// Without repeated points and collinear runs; the polygon's seam too when closed.
std::vector<Point> simplified(const std::vector<IntPoint>& points, bool closed) {
    std::vector<IntPoint> kept;
    for (const IntPoint p : points) {
        if (!kept.empty() && kept.back() == p) continue;
        while (kept.size() >= 2 && redundant(kept[kept.size() - 2], kept.back(), p)) kept.pop_back();
        kept.push_back(p);
    }
    if (closed) {
        while (kept.size() > 1 && kept.back() == kept.front()) kept.pop_back();
        while (kept.size() > 3) {
            const std::size_t n = kept.size();
            if (redundant(kept[n - 2], kept[n - 1], kept[0]))
                kept.pop_back();
            else if (redundant(kept[n - 1], kept[0], kept[1]))
                kept.erase(kept.begin());
            else
                break;
        }
    }
    std::vector<Point> out;
    out.reserve(kept.size());
    for (const IntPoint p : kept) out.push_back({static_cast<double>(p.x), static_cast<double>(p.y)});
    return out;
}

// Columns [x0, x1) covered from row edge top to row edge end.
struct Span {
    std::int32_t x0, x1, top, end;
};

std::vector<Point> outline(const RegionBox& box, const Strip* strips, std::size_t count) {
    std::vector<Span> spans;
    for (std::size_t s = 0; s < count; ++s) {
        if (strips[s].top < 0) continue;
        const std::int32_t x0 = box.left + static_cast<std::int32_t>(s) * stripWidth;
        const Span next{x0, std::min(x0 + stripWidth, box.right + 1), strips[s].top, strips[s].bottom + 1};
        // Neighbouring spans whose rows do not overlap would pinch the polygon
        // to a point or a shared edge: the left one's last column reaches one
        // row into the right one's rows.
        if (!spans.empty() && spans.back().x1 == next.x0 &&
            std::max(spans.back().top, next.top) >= std::min(spans.back().end, next.end)) {
            Span column = spans.back();
            column.x0 = column.x1 - 1;
            if (column.end <= next.top)
                column.end = next.top + 1;
            else
                column.top = next.end - 1;
            if (spans.back().x1 - spans.back().x0 > 1) {
                --spans.back().x1;
                spans.push_back(column);
            } else {
                spans.back() = column;
            }
        }
        spans.push_back(next);
    }
    std::vector<IntPoint> points;
    points.reserve(spans.size() * 4);
    for (const Span& s : spans) {
        points.push_back({s.x0, s.top});
        points.push_back({s.x1, s.top});
    }
    for (auto s = spans.rbegin(); s != spans.rend(); ++s) {
        points.push_back({s->x1, s->end});
        points.push_back({s->x0, s->end});
    }
    return simplified(points, true);
}

std::vector<Point> baseline(const RegionBox& box, const Strip* strips, std::size_t count) {
    std::vector<std::int64_t> xs, ys;
    for (std::size_t s = 0; s < count; ++s) {
        if (strips[s].top < 0) continue;
        const std::int32_t x0 = box.left + static_cast<std::int32_t>(s) * stripWidth;
        xs.push_back(x0 + (std::min(x0 + stripWidth, box.right + 1) - x0) / 2);
        ys.push_back(strips[s].baselineRow + 1);
    }
    // A descender can hold most of a strip's ink and pull its row down into
    // the next line; the median of up to five neighbouring strips (the upper
    // one of an even count) drops such a spike.
    std::vector<IntPoint> points;
    points.reserve(xs.size() + 2);
    std::vector<std::int64_t> window;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        window.assign(ys.begin() + static_cast<std::ptrdiff_t>(i >= 2 ? i - 2 : 0),
                      ys.begin() + static_cast<std::ptrdiff_t>(std::min(i + 3, ys.size())));
        const auto middle = window.begin() + static_cast<std::ptrdiff_t>((window.size() - 1) / 2);
        std::nth_element(window.begin(), middle, window.end());
        if (points.empty()) points.push_back({box.left, *middle});
        points.push_back({xs[i], *middle});
    }
    // The box's last column has a pixel, so the last strip has too.
    points.push_back({box.right + 1, points.back().y});
    return simplified(points, false);
}

}  // namespace

std::vector<Region> outlineRegions(const LabelMap& map, std::string_view idPrefix) {
    const RegionTable table = buildRegionTable(map);
    std::vector<std::size_t> firstStrip(table.regions.size() + 1, 0);
    for (std::size_t i = 0; i < table.regions.size(); ++i) {
        const RegionBox& box = table.regions[i];
        const auto width = static_cast<std::size_t>(box.right - box.left + 1);
        firstStrip[i + 1] = firstStrip[i] + (width + stripWidth - 1) / stripWidth;
    }
    std::vector<Strip> strips(firstStrip.back());
    LabelIndex indexOf(table);

    // Calls step(strip, y, pixels) for each strip a run crosses.
    const auto eachStrip = [&](auto step) {
        eachRun(map, [&](std::int32_t label, std::int32_t y, std::int32_t from, std::int32_t to) {
            const std::size_t region = indexOf(label);
            const std::int32_t left = table.regions[region].left;
            Strip* first = strips.data() + firstStrip[region];
            for (std::int32_t s = (from - left) / stripWidth; s <= (to - 1 - left) / stripWidth; ++s) {
                const std::int32_t x0 = left + s * stripWidth;
                step(first[s], y, std::min(to, x0 + stripWidth) - std::max(from, x0));
            }
        });
    };
    eachStrip([](Strip& strip, std::int32_t y, std::int32_t pixels) {
        if (strip.top < 0) strip.top = y;
        strip.bottom = y;
        strip.pending += pixels;
    });
    // Rows come top down, so the first row that reaches 90% of a strip's
    // pixels is the percentile row, found without a histogram.
    for (Strip& strip : strips) strip.pending = (strip.pending * 9 + 9) / 10;
    eachStrip([](Strip& strip, std::int32_t y, std::int32_t pixels) {
        if (strip.baselineRow >= 0) return;
        strip.pending -= pixels;
        if (strip.pending <= 0) strip.baselineRow = y;
    });

    std::vector<Region> regions;
    regions.reserve(table.regions.size());
    for (std::size_t i = 0; i < table.regions.size(); ++i) {
        const RegionBox& box = table.regions[i];
        const Strip* first = strips.data() + firstStrip[i];
        const std::size_t count = firstStrip[i + 1] - firstStrip[i];
        regions.push_back({std::string(idPrefix) + std::to_string(box.label), outline(box, first, count),
                           baseline(box, first, count), 0});
    }
    return regions;
}

std::vector<std::size_t> lineOfEachWord(const LabelMap& lines, const LabelMap& words) {
    if (lines.size() != words.size()) throw std::invalid_argument("line and word maps of different sizes");
    const RegionTable lineTable = buildRegionTable(lines), wordTable = buildRegionTable(words);
    LabelIndex lineIndex(lineTable), wordIndex(wordTable);
    // Shared pixels by (word, line + 1), which is never key 0.
    detail::FlatMap<std::size_t> shared(wordTable.regions.size() * 2);
    const std::int32_t *line = lines.data(), *word = words.data();
    for (std::size_t i = 0, n = lines.pixelCount(); i < n;) {
        const std::int32_t l = line[i], w = word[i];
        const std::size_t from = i;
        while (i < n && line[i] == l && word[i] == w) ++i;
        if (l == 0 || w == 0) continue;
        shared[(static_cast<std::uint64_t>(wordIndex(w)) << 32) | (lineIndex(l) + 1)] += i - from;
    }
    std::vector<std::size_t> best(wordTable.regions.size(), noLine), most(best.size(), 0);
    shared.forEach([&](std::uint64_t key, std::size_t pixels) {
        const std::size_t w = key >> 32, l = (key & 0xFFFFFFFFu) - 1;
        if (pixels > most[w] || (pixels == most[w] && l < best[w])) {
            most[w] = pixels;
            best[w] = l;
        }
    });
    return best;
}

namespace {

constexpr const char* pageNamespace = "http://schema.primaresearch.org/PAGE/gts/pagecontent/2019-07-15";
constexpr const char* altoNamespace = "http://www.loc.gov/standards/alto/ns-v4#";

std::string utcNow() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

// A region's points in whole pixels within the page, and their box.
struct Placed {
    std::vector<IntPoint> polygon, baseline;
    std::int64_t left = 0, top = 0, right = 0, bottom = 0;
};

class Writer {
public:
    Writer(RegionDocument::Format format, PageSize size) : alto_(format == RegionDocument::Format::Alto), size_(size) {}

    Placed place(const Region& region) const {
        Placed placed{onPage(region.polygon), onPage(region.baseline)};
        if (!placed.polygon.empty()) {
            placed.left = placed.right = placed.polygon[0].x;
            placed.top = placed.bottom = placed.polygon[0].y;
        }
        for (const IntPoint p : placed.polygon) {
            placed.left = std::min(placed.left, p.x);
            placed.right = std::max(placed.right, p.x);
            placed.top = std::min(placed.top, p.y);
            placed.bottom = std::max(placed.bottom, p.y);
        }
        return placed;
    }

    // "x,y x,y ...", the pair form both formats read.
    static std::string points(const std::vector<IntPoint>& points) {
        std::string text;
        text.reserve(points.size() * 10);
        char number[24];
        for (const IntPoint p : points) {
            if (!text.empty()) text += ' ';
            text.append(number, std::to_chars(number, number + sizeof number, p.x).ptr);
            text += ',';
            text.append(number, std::to_chars(number, number + sizeof number, p.y).ptr);
        }
        return text;
    }

    // The element of a line or word: its geometry, ready for its words.
    pugi::xml_node region(pugi::xml_node parent, const Region& region, const Placed& placed, bool line) const {
        if (!alto_) {
            pugi::xml_node node = parent.append_child(line ? "TextLine" : "Word");
            node.append_attribute("id") = region.id.c_str();
            node.append_child("Coords").append_attribute("points") = points(placed.polygon).c_str();
            if (line && !placed.baseline.empty())
                node.append_child("Baseline").append_attribute("points") = points(placed.baseline).c_str();
            return node;
        }
        pugi::xml_node node = parent.append_child(line ? "TextLine" : "String");
        node.append_attribute("ID") = region.id.c_str();
        box(node, placed);
        if (line && !placed.baseline.empty()) node.append_attribute("BASELINE") = points(placed.baseline).c_str();
        if (!line) node.append_attribute("CONTENT") = "";
        node.append_child("Shape").append_child("Polygon").append_attribute("POINTS") =
            points(placed.polygon).c_str();
        return node;
    }

    static void box(pugi::xml_node node, const Placed& placed) {
        node.append_attribute("HPOS") = static_cast<long long>(placed.left);
        node.append_attribute("VPOS") = static_cast<long long>(placed.top);
        node.append_attribute("WIDTH") = static_cast<long long>(placed.right - placed.left);
        node.append_attribute("HEIGHT") = static_cast<long long>(placed.bottom - placed.top);
    }

private:
    std::vector<IntPoint> onPage(const std::vector<Point>& points) const {
        std::vector<IntPoint> placed;
        placed.reserve(points.size());
        const auto whole = [](double c, std::int32_t limit) {
            return std::isfinite(c) ? static_cast<std::int64_t>(std::clamp(std::round(c), 0.0, double(limit))) : 0;
        };
        for (const Point& p : points) placed.push_back({whole(p.x, size_.width), whole(p.y, size_.height)});
        return placed;
    }

    bool alto_;
    PageSize size_;
};

struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, std::size_t size) override { text.append(static_cast<const char*>(data), size); }
};

}  // namespace

std::string writeRegionXml(RegionDocument::Format format, const RegionDocument& doc,
                           const std::vector<std::size_t>& wordLine, PageSize size,
                           std::string_view imageFileName, std::string_view timestamp) {
    if (wordLine.size() != doc.words.size()) throw std::invalid_argument("not one line index per word");
    std::vector<std::vector<std::size_t>> wordsOf(doc.lines.size());
    std::vector<std::size_t> alone;
    for (std::size_t w = 0; w < wordLine.size(); ++w) {
        if (wordLine[w] == noLine)
            alone.push_back(w);
        else if (wordLine[w] < doc.lines.size())
            wordsOf[wordLine[w]].push_back(w);
        else
            throw std::invalid_argument("a word's line index beyond the lines");
    }

    const Writer writer(format, size);
    std::vector<Placed> lines, words;
    for (const Region& r : doc.lines) lines.push_back(writer.place(r));
    for (const Region& r : doc.words) words.push_back(writer.place(r));
    for (std::vector<std::size_t>& of : wordsOf)
        std::stable_sort(of.begin(), of.end(), [&](std::size_t a, std::size_t b) { return words[a].left < words[b].left; });

    // The text region's box holds every line and word.
    Placed all;
    bool any = false;
    for (const auto* placed : {&lines, &words})
        for (const Placed& p : *placed) {
            if (p.polygon.empty()) continue;
            all.left = any ? std::min(all.left, p.left) : p.left;
            all.top = any ? std::min(all.top, p.top) : p.top;
            all.right = any ? std::max(all.right, p.right) : p.right;
            all.bottom = any ? std::max(all.bottom, p.bottom) : p.bottom;
            any = true;
        }
    const bool hasText = !doc.lines.empty() || !doc.words.empty();

    const std::string when = timestamp.empty() ? utcNow() : std::string(timestamp);
    const std::string fileName(imageFileName);
    const bool alto = format == RegionDocument::Format::Alto;
    pugi::xml_document xml;
    pugi::xml_node declaration = xml.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";

    pugi::xml_node block;
    if (!alto) {
        pugi::xml_node root = xml.append_child("PcGts");
        root.append_attribute("xmlns") = pageNamespace;
        pugi::xml_node metadata = root.append_child("Metadata");
        metadata.append_child("Creator").text() = "Corvanel";
        metadata.append_child("Created").text() = when.c_str();
        metadata.append_child("LastChange").text() = when.c_str();
        pugi::xml_node page = root.append_child("Page");
        page.append_attribute("imageFilename") = fileName.c_str();
        page.append_attribute("imageWidth") = size.width;
        page.append_attribute("imageHeight") = size.height;
        if (hasText) {
            block = page.append_child("TextRegion");
            block.append_attribute("id") = "r1";
            all.polygon = {{all.left, all.top}, {all.right, all.top}, {all.right, all.bottom}, {all.left, all.bottom}};
            block.append_child("Coords").append_attribute("points") = Writer::points(all.polygon).c_str();
        }
    } else {
        pugi::xml_node root = xml.append_child("alto");
        root.append_attribute("xmlns") = altoNamespace;
        pugi::xml_node description = root.append_child("Description");
        description.append_child("MeasurementUnit").text() = "pixel";
        description.append_child("sourceImageInformation").append_child("fileName").text() = fileName.c_str();
        pugi::xml_node step = description.append_child("OCRProcessing");
        step.append_attribute("ID") = "processing1";
        step = step.append_child("ocrProcessingStep");
        step.append_child("processingDateTime").text() = when.c_str();
        step.append_child("processingSoftware").append_child("softwareName").text() = "Corvanel";
        pugi::xml_node page = root.append_child("Layout").append_child("Page");
        page.append_attribute("ID") = "page1";
        page.append_attribute("PHYSICAL_IMG_NR") = 1;
        page.append_attribute("WIDTH") = size.width;
        page.append_attribute("HEIGHT") = size.height;
        pugi::xml_node space = page.append_child("PrintSpace");
        Writer::box(space, Placed{{}, {}, 0, 0, size.width, size.height});
        if (hasText) {
            block = space.append_child("TextBlock");
            block.append_attribute("ID") = "r1";
            Writer::box(block, all);
        }
    }

    for (std::size_t l = 0; l < doc.lines.size(); ++l) {
        const pugi::xml_node line = writer.region(block, doc.lines[l], lines[l], true);
        for (const std::size_t w : wordsOf[l]) writer.region(line, doc.words[w], words[w], false);
        if (alto && wordsOf[l].empty()) {
            Region own = doc.lines[l];
            own.id += "_word";
            writer.region(line, own, lines[l], false);
        }
    }
    for (const std::size_t w : alone) {
        Region own = doc.words[w];
        own.id += "_line";
        const pugi::xml_node line = writer.region(block, own, words[w], true);
        writer.region(line, doc.words[w], words[w], false);
    }

    StringWriter out;
    xml.save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
    return std::move(out.text);
}

}  // namespace corvanel
