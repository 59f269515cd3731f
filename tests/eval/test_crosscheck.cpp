// Randomized cross-check of the engine against the dense reference, on small
// maps built to reach every matching pass. A failure prints the case seed;
// CORVANEL_SEED=<seed> makes that case the first one of the run.

#include "tests/eval/dense_reference.h"
#include "eval/diagnosis.h"
#include "eval/evaluate.h"
#include "eval/labelmap.h"
#include "eval/matching.h"
#include "eval/overlap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace corvanel {
namespace {

constexpr std::uint64_t kDefaultSeed = 0x5EED0C0FFEEull;
constexpr int kDefaultCases = 20000;
constexpr std::int32_t kLargestLabel = std::numeric_limits<std::int32_t>::max();
// Above this the reference gets order-preserving small labels: its slot
// arrays are sized by the largest label.
constexpr std::int32_t kReferenceLabelLimit = 5000;

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtoull(text, nullptr, 0);
}

std::uint64_t baseSeed() { return envNumber("CORVANEL_SEED", kDefaultSeed); }
int caseCount() { return static_cast<int>(envNumber("CORVANEL_CROSS_CASES", kDefaultCases)); }

// SplitMix64: the same stream on every platform, unlike the standard distributions.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n), n >= 1.
    int below(int n) {
        return static_cast<int>(((next() >> 32) * static_cast<std::uint64_t>(n)) >> 32);
    }
    int range(int lo, int hi) { return lo + below(hi - lo + 1); }
    bool chance(int percent) { return below(100) < percent; }
    template <class T>
    const T& pick(const std::vector<T>& v) {
        return v[static_cast<std::size_t>(below(static_cast<int>(v.size())))];
    }

private:
    std::uint64_t state_;
};

struct Grid {
    int w = 0;
    int h = 0;
    std::vector<std::int32_t> v;  // row by row

    Grid(int width, int height) : w(width), h(height), v(static_cast<std::size_t>(width * height), 0) {}
    std::int32_t& at(int x, int y) { return v[static_cast<std::size_t>(y * w + x)]; }
    std::int32_t at(int x, int y) const { return v[static_cast<std::size_t>(y * w + x)]; }
};

std::vector<std::int32_t> labelsOf(const Grid& g) {
    std::set<std::int32_t> s(g.v.begin(), g.v.end());
    s.erase(0);
    return {s.begin(), s.end()};
}

std::int32_t freshLabel(const Grid& g) { return *std::max_element(g.v.begin(), g.v.end()) + 1; }

LabelMap toLabelMap(const Grid& g) {
    LabelMap m(g.w, g.h);
    std::copy(g.v.begin(), g.v.end(), m.data());
    return m;
}

// ---- ground-truth shapes ----

// Nearest-seed cells; several seeds may share a label (one region in
// separate pieces) and some seeds are background.
Grid voronoi(Rng& rng, int w, int h) {
    Grid g(w, h);
    const int seeds = rng.range(1, std::min(24, w * h));
    const int labels = rng.chance(30) ? rng.range(1, seeds) : seeds;
    const int background = rng.chance(50) ? rng.range(0, 40) : 0;
    const bool manhattan = rng.chance(50);
    std::vector<int> sx, sy;
    std::vector<std::int32_t> sl;
    for (int s = 0; s < seeds; ++s) {
        sx.push_back(rng.below(w));
        sy.push_back(rng.below(h));
        sl.push_back(rng.chance(background) ? 0 : (labels == seeds ? s + 1 : 1 + rng.below(labels)));
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int best = 0;
            long bestD = std::numeric_limits<long>::max();
            for (int s = 0; s < seeds; ++s) {
                const long dx = x - sx[static_cast<std::size_t>(s)];
                const long dy = y - sy[static_cast<std::size_t>(s)];
                const long d = manhattan ? std::labs(dx) + std::labs(dy) : dx * dx + dy * dy;
                if (d < bestD) {
                    bestD = d;
                    best = s;
                }
            }
            g.at(x, y) = sl[static_cast<std::size_t>(best)];
        }
    return g;
}

void guillotine(Rng& rng, Grid& g, int x0, int y0, int x1, int y1, int depth, std::int32_t& next) {
    const bool canX = x1 - x0 >= 2;
    const bool canY = y1 - y0 >= 2;
    if (depth == 0 || (!canX && !canY) || rng.chance(20)) {
        std::int32_t label = 0;
        if (!rng.chance(20)) label = (next > 1 && rng.chance(20)) ? 1 + rng.below(next - 1) : next++;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) g.at(x, y) = label;
        return;
    }
    if (canX && (!canY || rng.chance(50))) {
        const int cut = rng.range(x0 + 1, x1 - 1);
        guillotine(rng, g, x0, y0, cut, y1, depth - 1, next);
        guillotine(rng, g, cut, y0, x1, y1, depth - 1, next);
    } else {
        const int cut = rng.range(y0 + 1, y1 - 1);
        guillotine(rng, g, x0, y0, x1, cut, depth - 1, next);
        guillotine(rng, g, x0, cut, x1, y1, depth - 1, next);
    }
}

Grid rectangles(Rng& rng, int w, int h) {
    Grid g(w, h);
    std::int32_t next = 1;
    guillotine(rng, g, 0, 0, w, h, rng.range(1, 7), next);
    return g;
}

// Bands of words: one label per word, or one per band (a line in pieces).
Grid textLines(Rng& rng, int w, int h) {
    Grid g(w, h);
    const bool perWord = rng.chance(50);
    std::int32_t next = 1;
    for (int y = rng.range(0, 2); y < h;) {
        const int band = std::min(rng.range(1, 5), h - y);
        const std::int32_t line = next++;
        for (int x = rng.range(0, 3); x < w;) {
            const int len = std::min(rng.range(1, 10), w - x);
            const std::int32_t label = perWord ? next++ : line;
            for (int yy = y; yy < y + band; ++yy)
                for (int xx = x; xx < x + len; ++xx)
                    if (!rng.chance(10)) g.at(xx, yy) = label;
            x += len + rng.range(0, 3);
        }
        y += band + rng.range(0, 2);
    }
    return g;
}

// A few labels scattered pixel by pixel: every region interleaves with the others.
Grid noise(Rng& rng, int w, int h) {
    Grid g(w, h);
    const int labels = rng.range(1, 6);
    const int background = rng.range(0, 60);
    for (auto& v : g.v) v = rng.chance(background) ? 0 : 1 + rng.below(labels);
    return g;
}

// Interleaved stripes, straight or slanted.
Grid comb(Rng& rng, int w, int h) {
    Grid g(w, h);
    const int labels = rng.range(2, 5);
    const int width = rng.range(1, 3);
    const int slant = rng.below(2);
    const int background = rng.range(0, 20);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            g.at(x, y) = rng.chance(background) ? 0 : 1 + ((x + slant * y) / width) % labels;
    return g;
}

Grid anyShape(Rng& rng, int w, int h) {
    switch (rng.below(10)) {
    case 0: case 1: case 2: return voronoi(rng, w, h);
    case 3: case 4: return rectangles(rng, w, h);
    case 5: case 6: return textLines(rng, w, h);
    case 7: case 8: return noise(rng, w, h);
    default: return comb(rng, w, h);
    }
}

// ---- result maps as perturbed ground truth ----

void splitRegion(Rng& rng, Grid& g) {
    const auto labels = labelsOf(g);
    if (labels.empty()) return;
    const std::int32_t victim = rng.pick(labels);
    const std::int32_t piece = freshLabel(g);
    const int mode = rng.below(5);
    const int cx = rng.below(g.w), cy = rng.below(g.h), c = rng.below(g.w + g.h);
    const int share = rng.range(10, 90);
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x) {
            if (g.at(x, y) != victim) continue;
            bool moves = false;
            switch (mode) {
            case 0: moves = x >= cx; break;
            case 1: moves = y >= cy; break;
            case 2: moves = x + y >= c; break;
            case 3: moves = rng.chance(share); break;
            default: moves = x % 2 == 1; break;
            }
            if (moves) g.at(x, y) = piece;
        }
}

void mergeNeighbours(Rng& rng, Grid& g) {
    std::vector<std::pair<std::int32_t, std::int32_t>> touching;
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x) {
            const std::int32_t a = g.at(x, y);
            if (a == 0) continue;
            if (x + 1 < g.w && g.at(x + 1, y) != 0 && g.at(x + 1, y) != a) touching.emplace_back(a, g.at(x + 1, y));
            if (y + 1 < g.h && g.at(x, y + 1) != 0 && g.at(x, y + 1) != a) touching.emplace_back(a, g.at(x, y + 1));
        }
    std::pair<std::int32_t, std::int32_t> pair;
    if (!touching.empty() && rng.chance(80)) {
        pair = rng.pick(touching);
    } else {
        const auto labels = labelsOf(g);
        if (labels.size() < 2) return;
        pair = {rng.pick(labels), rng.pick(labels)};
    }
    for (auto& v : g.v)
        if (v == pair.first) v = pair.second;
}

// Each pixel may take a neighbour's label: borders move, regions grow or erode.
void shiftBorders(Rng& rng, Grid& g) {
    const Grid before = g;
    const int p = rng.range(10, 60);
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x) {
            if (!rng.chance(p)) continue;
            static constexpr int dx[] = {1, -1, 0, 0};
            static constexpr int dy[] = {0, 0, 1, -1};
            const int d = rng.below(4);
            const int nx = x + dx[d], ny = y + dy[d];
            if (nx >= 0 && nx < g.w && ny >= 0 && ny < g.h) g.at(x, y) = before.at(nx, ny);
        }
}

void dropRegion(Rng& rng, Grid& g) {
    const auto labels = labelsOf(g);
    if (labels.empty()) return;
    const std::int32_t victim = rng.pick(labels);
    for (auto& v : g.v)
        if (v == victim) v = 0;
}

// A rectangle of a new label, or of an existing one (a region gains a piece).
void addRegion(Rng& rng, Grid& g) {
    const auto labels = labelsOf(g);
    const std::int32_t label = (!labels.empty() && rng.chance(25)) ? rng.pick(labels) : freshLabel(g);
    const int x0 = rng.below(g.w), y0 = rng.below(g.h);
    const int x1 = rng.range(x0, std::min(g.w - 1, x0 + 12)), y1 = rng.range(y0, std::min(g.h - 1, y0 + 12));
    const bool onlyBackground = rng.chance(50);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (!onlyBackground || g.at(x, y) == 0) g.at(x, y) = label;
}

void pixelNoise(Rng& rng, Grid& g) {
    const int count = rng.range(1, std::max(1, g.w * g.h / 8));
    for (int k = 0; k < count; ++k) {
        const auto labels = labelsOf(g);
        std::int32_t label = 0;
        if (!labels.empty() && rng.chance(60)) label = rng.pick(labels);
        else if (rng.chance(50)) label = freshLabel(g);
        g.at(rng.below(g.w), rng.below(g.h)) = label;
    }
}

Grid perturb(Rng& rng, const Grid& gt) {
    Grid rs = gt;
    const int ops = rng.range(1, 4);
    for (int k = 0; k < ops; ++k) {
        switch (rng.below(10)) {
        case 0: case 1: splitRegion(rng, rs); break;
        case 2: case 3: case 4: mergeNeighbours(rng, rs); break;
        case 5: case 6: shiftBorders(rng, rs); break;
        case 7: dropRegion(rng, rs); break;
        case 8: addRegion(rng, rs); break;
        default: pixelNoise(rng, rs); break;
        }
    }
    return rs;
}

// ---- label values ----

// Gives the labels of a map new values: kept, shuffled, spread with gaps, or
// spread over the whole positive 32-bit range. Order among labels may change.
void renumber(Rng& rng, Grid& g) {
    const auto labels = labelsOf(g);
    if (labels.empty()) return;
    const int mode = rng.below(10);
    if (mode < 3) return;
    std::set<std::int32_t> chosen;
    if (mode >= 7 && rng.chance(50)) chosen.insert(kLargestLabel);
    if (mode >= 7 && rng.chance(30)) chosen.insert(1);
    while (chosen.size() < labels.size()) {
        if (mode < 5) chosen.insert(static_cast<std::int32_t>(chosen.size()) + 1);
        else if (mode < 7) chosen.insert(rng.range(1, kReferenceLabelLimit));
        else chosen.insert(1 + static_cast<std::int32_t>(rng.next() % static_cast<std::uint64_t>(kLargestLabel)));
    }
    std::vector<std::int32_t> values(chosen.begin(), chosen.end());
    for (std::size_t k = values.size(); k > 1; --k)
        std::swap(values[k - 1], values[static_cast<std::size_t>(rng.below(static_cast<int>(k)))]);
    std::map<std::int32_t, std::int32_t> to;
    for (std::size_t k = 0; k < labels.size(); ++k) to[labels[k]] = values[k];
    for (auto& v : g.v)
        if (v != 0) v = to[v];
}

// The same map with labels 1..K in the same order, when its labels are too
// large for slot arrays.
Grid forSlotArrays(const Grid& g) {
    const auto labels = labelsOf(g);
    if (labels.empty() || labels.back() <= kReferenceLabelLimit) return g;
    Grid out = g;
    for (auto& v : out.v)
        if (v != 0)
            v = static_cast<std::int32_t>(std::lower_bound(labels.begin(), labels.end(), v) - labels.begin()) + 1;
    return out;
}

// ---- cases ----

struct Case {
    std::uint64_t seed;
    Grid gt;
    Grid rs;
    std::int32_t T;
    Weights weights;
};

std::int32_t pickThreshold(Rng& rng) {
    static const std::vector<std::int32_t> edges = {1, 2, 5, 10, 20, 25, 33, 34, 40, 49, 50, 51, 66, 67, 75, 90, 99, 100};
    const int roll = rng.below(100);
    if (roll < 20) return rng.range(1, 10);
    if (roll < 60) return rng.range(1, 50);
    if (roll < 85) return rng.range(51, 100);
    return rng.pick(edges);
}

std::int64_t pickWeight(Rng& rng) {
    if (rng.chance(20)) return 100;
    if (rng.chance(10)) return rng.range(-50, -1);
    return rng.range(0, 150);
}

Case makeCase(std::uint64_t seed) {
    Rng rng(seed);
    int w = rng.range(1, 40), h = rng.range(1, 40);
    if (rng.chance(10)) (rng.chance(50) ? w : h) = rng.range(1, 3);

    Grid gt = rng.chance(3) ? Grid(w, h) : anyShape(rng, w, h);
    Grid rs(w, h);
    const int kind = rng.below(100);
    if (kind < 70) rs = perturb(rng, gt);
    else if (kind < 95) rs = anyShape(rng, w, h);
    else if (kind < 98) rs = gt;
    // else: an empty result

    renumber(rng, gt);
    renumber(rng, rs);
    const std::int32_t T = pickThreshold(rng);
    const Weights weights{pickWeight(rng), pickWeight(rng), pickWeight(rng)};
    return {seed, std::move(gt), std::move(rs), T, weights};
}

std::string show(const Counts& c) {
    std::ostringstream out;
    out << "{N=" << c.N << " M=" << c.M << " one2one=" << c.one2one << " g_one2many=" << c.g_one2many
        << " g_many2one=" << c.g_many2one << " d_one2many=" << c.d_one2many << " d_many2one=" << c.d_many2one
        << "}";
    return out.str();
}

std::string show(const Grid& g) {
    std::ostringstream out;
    for (int y = 0; y < g.h; ++y) {
        for (int x = 0; x < g.w; ++x) out << (x ? " " : "  ") << g.at(x, y);
        out << "\n";
    }
    return out.str();
}

std::string describe(const Case& c) {
    std::ostringstream out;
    out << "case seed " << c.seed << " (CORVANEL_SEED=" << c.seed << " makes it the first case), maps "
        << c.gt.w << "x" << c.gt.h << ", T=" << c.T << ", weights " << c.weights.w1 << "/" << c.weights.w2
        << "/" << c.weights.w3 << "\nground truth:\n"
        << show(c.gt) << "result:\n"
        << show(c.rs);
    return out.str();
}

// How many pairs reach T, and with how many partners, from a plain count of
// label pairs; used to prove that the generator reaches the multi-partner passes.
struct Reach {
    int plainPairs = 0;      // both sides reach T with exactly one partner
    bool gtMany = false;     // a ground-truth region reaches T with several results
    bool rsMany = false;     // a result region reaches T with several ground-truth regions
    bool crossed = false;    // a pair reaching T where both sides have several partners
};

Reach reachOf(const Grid& gt, const Grid& rs, std::int32_t T) {
    std::map<std::int32_t, std::int64_t> gArea, rArea;
    std::map<std::pair<std::int32_t, std::int32_t>, std::int64_t> shared;
    for (std::size_t p = 0; p < gt.v.size(); ++p) {
        if (gt.v[p] != 0) ++gArea[gt.v[p]];
        if (rs.v[p] != 0) ++rArea[rs.v[p]];
        if (gt.v[p] != 0 && rs.v[p] != 0) ++shared[{gt.v[p], rs.v[p]}];
    }
    std::vector<std::pair<std::int32_t, std::int32_t>> reaching;
    std::map<std::int32_t, int> gPartners, rPartners;
    for (const auto& [pair, count] : shared) {
        const auto larger = std::max(gArea[pair.first], rArea[pair.second]);
        if (100.0 * static_cast<double>(count) / static_cast<double>(larger) >= T) {
            reaching.push_back(pair);
            ++gPartners[pair.first];
            ++rPartners[pair.second];
        }
    }
    Reach r;
    for (const auto& [g, s] : reaching) {
        const int a = gPartners[g], b = rPartners[s];
        if (a == 1 && b == 1) ++r.plainPairs;
        r.gtMany |= a > 1;
        r.rsMany |= b > 1;
        r.crossed |= a > 1 && b > 1;
    }
    return r;
}

// What a page's per-region records must say, from a plain count of the maps:
// the counts the statuses imply, areas, boxes, partners named on both sides,
// and the best-overlapping partner. Empty when all holds.
std::string diagnosisProblems(const PageDiagnosis& d, const Grid& gt, const Grid& rs, const Counts& want) {
    std::ostringstream out;
    if (d.impliedCounts() != want) out << "statuses imply " << show(d.impliedCounts()) << "\n";

    struct Plain {
        std::int64_t area = 0;
        Box box;
    };
    std::map<std::int32_t, Plain> gPlain, rPlain;
    std::map<std::pair<std::int32_t, std::int32_t>, std::int64_t> shared;
    for (int y = 0; y < gt.h; ++y)
        for (int x = 0; x < gt.w; ++x) {
            const std::int32_t g = gt.at(x, y), r = rs.at(x, y);
            for (auto [label, plain] : {std::pair{g, &gPlain}, std::pair{r, &rPlain}})
                if (label != 0) {
                    ++(*plain)[label].area;
                    (*plain)[label].box.add(x, x, y);
                }
            if (g != 0 && r != 0) ++shared[{g, r}];
        }
    auto score = [&](std::int32_t g, std::int32_t r) {
        return static_cast<std::int32_t>(matchScore(shared[{g, r}], gPlain[g].area, rPlain[r].area));
    };

    auto check = [&](const RegionList& side, const std::map<std::int32_t, Plain>& plain, bool isGt) {
        if (side.size() != plain.size()) out << (isGt ? "gt" : "result") << " region count " << side.size() << "\n";
        for (const RegionDiagnosis region : side) {
            const auto it = plain.find(region.label);
            if (it == plain.end()) {
                out << "unknown label " << region.label << "\n";
                continue;
            }
            if (region.area != it->second.area || !(region.box == it->second.box))
                out << "label " << region.label << ": area or box differs\n";
            const RegionStatus unmatched = isGt ? RegionStatus::Missed : RegionStatus::FalseAlarm;
            if (region.status == (isGt ? RegionStatus::FalseAlarm : RegionStatus::Missed) ||
                (region.status == unmatched) != region.partners.empty() ||
                (region.status == unmatched) == region.score.has_value())
                out << "label " << region.label << ": status, partners and score disagree\n";
            for (std::int32_t partner : region.partners) {
                const std::optional<RegionDiagnosis> other = isGt ? d.findResult(partner) : d.findGt(partner);
                if (!other || other->status != region.status ||
                    !std::binary_search(other->partners.begin(), other->partners.end(), region.label))
                    out << "label " << region.label << ": partner " << partner << " does not name it back\n";
            }
            std::optional<Partner> best;
            for (const auto& [pair, count] : shared) {
                if ((isGt ? pair.first : pair.second) != region.label) continue;
                const std::int32_t s = score(pair.first, pair.second);
                const std::int32_t other = isGt ? pair.second : pair.first;
                if (!best || s > best->score || (s == best->score && other < best->label)) best = Partner{other, s};
            }
            if (region.best != best) out << "label " << region.label << ": best partner differs\n";
        }
    };
    check(d.gt(), gPlain, true);
    check(d.result(), rPlain, false);
    return out.str();
}

double expectedRate(std::int64_t weighted, std::int64_t count) {
    return count == 0 ? -1.0 : static_cast<double>(weighted) / static_cast<double>(count);
}

// ---- the tests ----

struct SlotBox {
    std::int32_t left, top, right, bottom;
};

// The reader's table, literally: slot arrays sized by the largest label, two
// column-major scans, presence by left != 9999.
std::vector<std::pair<std::int32_t, SlotBox>> slotArrayTable(const Grid& g) {
    std::int32_t largest = 0;
    for (int x = 0; x < g.w; ++x)
        for (int y = 0; y < g.h; ++y)
            if (g.at(x, y) != 0 && g.at(x, y) > largest) largest = g.at(x, y);
    const auto slots = static_cast<std::size_t>(largest) + 1;
    std::vector<SlotBox> box(slots, SlotBox{9999, 9999, 0, 0});
    for (int x = 0; x < g.w; ++x)
        for (int y = 0; y < g.h; ++y) {
            const auto v = static_cast<std::size_t>(g.at(x, y));
            if (v == 0) continue;
            box[v].left = std::min(box[v].left, x);
            box[v].right = std::max(box[v].right, x);
            box[v].top = std::min(box[v].top, y);
            box[v].bottom = std::max(box[v].bottom, y);
        }
    std::vector<std::pair<std::int32_t, SlotBox>> present;
    for (std::size_t label = 1; label < slots; ++label)
        if (box[label].left != 9999) present.emplace_back(static_cast<std::int32_t>(label), box[label]);
    return present;
}

TEST(CrossCheck, RegionTableMatchesSlotArrays) {
    const std::uint64_t base = baseSeed();
    const int cases = caseCount();
    int failures = 0;
    for (int k = 0; k < cases && failures < 5; ++k) {
        const Case c = makeCase(base + static_cast<std::uint64_t>(k));
        for (const Grid* map : {&c.gt, &c.rs}) {
            const auto labels = labelsOf(*map);
            const Grid small = forSlotArrays(*map);
            const bool renamed = small.v != map->v;
            const auto literal = slotArrayTable(small);
            const RegionTable table = buildRegionTable(toLabelMap(*map));

            bool same = table.regions.size() == literal.size();
            for (std::size_t r = 0; same && r < literal.size(); ++r) {
                const auto& [slot, b] = literal[r];
                const std::int32_t label = renamed ? labels[static_cast<std::size_t>(slot - 1)] : slot;
                const RegionBox& got = table.regions[r];
                same = got.label == label && got.left == b.left && got.top == b.top && got.right == b.right &&
                       got.bottom == b.bottom;
            }
            if (!same) {
                std::ostringstream got;
                for (const RegionBox& b : table.regions)
                    got << " " << b.label << "[" << b.left << "," << b.top << ".." << b.right << "," << b.bottom << "]";
                std::ostringstream want;
                for (const auto& [slot, b] : literal)
                    want << " " << (renamed ? labels[static_cast<std::size_t>(slot - 1)] : slot) << "[" << b.left
                         << "," << b.top << ".." << b.right << "," << b.bottom << "]";
                ADD_FAILURE() << (map == &c.gt ? "ground-truth" : "result") << " region table differs\n"
                              << "expected:" << want.str() << "\ngot:     " << got.str() << "\n"
                              << describe(c);
                ++failures;
            }
        }
    }
}

TEST(CrossCheck, EngineMatchesDenseReference) {
    const std::uint64_t base = baseSeed();
    const int cases = caseCount();
    int failures = 0;
    int multiPartner = 0, gtMany = 0, rsMany = 0, crossed = 0, gtGroups = 0, rsGroups = 0, hugeLabels = 0;

    for (int k = 0; k < cases && failures < 5; ++k) {
        const Case c = makeCase(base + static_cast<std::uint64_t>(k));
        const Grid gtSmall = forSlotArrays(c.gt);
        const Grid rsSmall = forSlotArrays(c.rs);
        const Counts want = reference::denseEvaluate(toLabelMap(gtSmall), toLabelMap(rsSmall), c.T);

        const LabelMap gt = toLabelMap(c.gt);
        const LabelMap rs = toLabelMap(c.rs);
        const Counts direct = matchRegions(countOverlaps(gt, rs), c.T).counts;
        const PageEvaluation page = evaluateMaps(gt, rs, c.T, c.weights, /*diagnose=*/true);

        std::ostringstream problems;
        if (direct != want) problems << "matchRegions(countOverlaps): " << show(direct) << "\n";
        if (!page.success) problems << "evaluateMaps reported failure\n";
        if (page.counts != want) problems << "evaluateMaps: " << show(page.counts) << "\n";
        if (!page.diagnosis)
            problems << "no diagnosis\n";
        else
            problems << diagnosisProblems(*page.diagnosis, c.gt, c.rs, want);

        const Weights& w = c.weights;
        const double DR = expectedRate(w.w1 * want.one2one + w.w2 * want.g_one2many + w.w3 * want.g_many2one, want.N);
        const double RA = expectedRate(w.w1 * want.one2one + w.w2 * want.d_one2many + w.w3 * want.d_many2one, want.M);
        const double pageDR = page.rates.DR.value_or(-1.0), pageRA = page.rates.RA.value_or(-1.0);
        if (pageDR != DR) problems << "DR " << pageDR << ", expected " << DR << "\n";
        if (pageRA != RA) problems << "RA " << pageRA << ", expected " << RA << "\n";
        if (want.N != 0 && want.M != 0) {
            const double FM = DR + RA != 0 ? 2 * DR * RA / (DR + RA) : 0.0;
            if (page.rates.FM != FM) problems << "FM " << page.rates.FM.value_or(-1.0) << ", expected " << FM << "\n";
        }

        if (!problems.str().empty()) {
            ADD_FAILURE() << "engine differs from the dense reference\nexpected: " << show(want) << "\n"
                          << problems.str() << describe(c);
            ++failures;
        }

        const Reach reach = reachOf(gtSmall, rsSmall, c.T);
        multiPartner += want.one2one > reach.plainPairs;
        gtMany += reach.gtMany;
        rsMany += reach.rsMany;
        crossed += reach.crossed;
        gtGroups += want.d_one2many > 0;
        rsGroups += want.g_one2many > 0;
        hugeLabels += gtSmall.v != c.gt.v || rsSmall.v != c.rs.v;
    }
    if (failures > 0) return;

    // The generator must keep reaching every pass, or the agreement above
    // proves little.
    const double n = cases;
    EXPECT_GE(multiPartner, 0.15 * n) << "cases where one-to-one matches beyond the plain pairs were made";
    EXPECT_GE(gtMany, 0.10 * n) << "cases with a ground-truth region reaching T with several results";
    EXPECT_GE(rsMany, 0.10 * n) << "cases with a result region reaching T with several ground-truth regions";
    EXPECT_GE(crossed, 0.05 * n) << "cases with a pair whose both sides have several partners";
    EXPECT_GE(gtGroups, 0.05 * n) << "cases with ground-truth-centred groups";
    EXPECT_GE(rsGroups, 0.05 * n) << "cases with result-centred groups";
    EXPECT_GE(hugeLabels, 0.20 * n) << "cases with labels beyond slot-array size";
    std::cout << "[ cross    ] " << cases << " cases from seed " << base << ": multi-partner " << multiPartner
              << ", gt several " << gtMany << ", result several " << rsMany << ", crossed " << crossed
              << ", gt groups " << gtGroups << ", result groups " << rsGroups << ", large labels " << hugeLabels
              << "\n";
}

// Small pages whose counts follow directly from the matching rules; they hold
// the reference to the rules before it is used as a yardstick.
struct Run {
    std::int32_t label;
    int length;
};

Grid row(std::initializer_list<Run> runs) {
    int width = 0;
    for (const Run& r : runs) width += r.length;
    Grid g(width, 1);
    int x = 0;
    for (const Run& r : runs)
        for (int k = 0; k < r.length; ++k) g.at(x++, 0) = r.label;
    return g;
}

struct Example {
    const char* what;
    Grid gt;
    Grid rs;
    std::int32_t T;
    Counts want;  // N, M, one2one, g_one2many, g_many2one, d_one2many, d_many2one
};

TEST(CrossCheckExamples, ReferenceAndEngineFollowTheMatchingRules) {
    const std::vector<Example> examples = {
        {"same regions under other labels", row({{1, 3}, {0, 2}, {2, 4}, {3, 1}}),
         row({{9, 3}, {0, 2}, {4, 4}, {2, 1}}), 90, {3, 3, 3, 0, 0, 0, 0}},
        {"90 pixels inside 100 reach 90 exactly", row({{0, 5}, {1, 90}, {0, 5}}), row({{3, 100}}), 90,
         {1, 1, 1, 0, 0, 0, 0}},
        {"90 pixels inside 101 stay below 90", row({{0, 5}, {1, 90}, {0, 6}}), row({{3, 101}}), 90,
         {1, 1, 0, 0, 0, 0, 0}},
        {"one result covering two ground-truth regions", row({{1, 100}, {2, 100}}), row({{7, 200}}), 90,
         {2, 1, 0, 1, 0, 0, 2}},
        {"one ground-truth region split in two", row({{1, 200}}), row({{1, 100}, {2, 100}}), 90,
         {1, 2, 0, 0, 2, 1, 0}},
        {"scores of 4 never join a group", row({{1, 100}}), row({{1, 86}, {2, 4}, {3, 4}, {4, 4}, {0, 2}}), 90,
         {1, 4, 0, 0, 0, 0, 0}},
        {"a score of 5 joins a group", row({{1, 100}}), row({{1, 85}, {2, 5}, {0, 10}}), 90,
         {1, 2, 0, 0, 2, 1, 0}},
        {"T=40: result over two halves goes to the lower index", row({{1, 50}, {2, 50}}), row({{3, 100}}), 40,
         {2, 1, 1, 0, 0, 0, 0}},
        {"T=40: split 60/40 goes to the higher score", row({{1, 100}}), row({{1, 60}, {2, 40}}), 40,
         {1, 2, 1, 0, 0, 0, 0}},
        {"empty ground truth", row({{0, 10}}), row({{1, 10}}), 90, {0, 1, 0, 0, 0, 0, 0}},
        // Ground-truth 1 scores 37 with result 1 but 62 with result 2, so it
        // does not claim result 1; ground-truth 2 (score 25) takes it, and
        // ground-truth 1 then takes result 2.
        {"a partner whose best score lies elsewhere is passed over", row({{1, 80}, {2, 10}}),
         row({{2, 50}, {1, 40}}), 20, {2, 2, 2, 0, 0, 0, 0}},
    };
    for (const Example& e : examples) {
        SCOPED_TRACE(e.what);
        const Counts ref = reference::denseEvaluate(toLabelMap(e.gt), toLabelMap(e.rs), e.T);
        EXPECT_EQ(ref, e.want) << "reference " << show(ref) << ", expected " << show(e.want);
        const PageEvaluation page = evaluateMaps(toLabelMap(e.gt), toLabelMap(e.rs), e.T, Weights{}, false);
        EXPECT_EQ(page.counts, e.want) << "engine " << show(page.counts) << ", expected " << show(e.want);
    }
}

// Each region's record on pages whose fate is plain: a split, a merge, a
// near miss that names its best partner, and a false alarm.
TEST(Diagnosis, NamesEachRegionsFateAndBestPartner) {
    // gt: 1 split over results 1 and 2; 2 and 3 merged by result 3; 4 (10 px)
    // inside result 4 (12 px) scores 83 < 90; result 5 covers no ground truth.
    const Grid gt = row({{1, 200}, {2, 100}, {3, 100}, {4, 10}, {0, 2}, {0, 7}});
    const Grid rs = row({{1, 100}, {2, 100}, {3, 200}, {4, 12}, {5, 7}});
    const PageEvaluation page = evaluateMaps(toLabelMap(gt), toLabelMap(rs), 90, Weights{}, true);
    ASSERT_TRUE(page.diagnosis);
    const PageDiagnosis& d = *page.diagnosis;
    using S = RegionStatus;
    struct Want {
        std::optional<RegionDiagnosis> region;
        S status;
        std::vector<std::int32_t> partners;
        std::optional<std::int32_t> score;
        std::optional<Partner> best;
    };
    for (const Want& w : std::vector<Want>{
             {d.findGt(1), S::Split, {1, 2}, 100, Partner{1, 50}},
             {d.findResult(2), S::Split, {1}, 50, Partner{1, 50}},
             {d.findGt(3), S::Merged, {3}, 50, Partner{3, 50}},
             {d.findResult(3), S::Merged, {2, 3}, 100, Partner{2, 50}},
             {d.findGt(4), S::Missed, {}, std::nullopt, Partner{4, 83}},
             {d.findResult(5), S::FalseAlarm, {}, std::nullopt, std::nullopt}}) {
        ASSERT_TRUE(w.region);
        SCOPED_TRACE(testing::Message() << "label " << w.region->label);
        EXPECT_EQ(w.region->status, w.status);
        EXPECT_EQ(std::vector(w.region->partners.begin(), w.region->partners.end()), w.partners);
        EXPECT_EQ(w.region->score, w.score);
        EXPECT_EQ(w.region->best, w.best);
    }
    EXPECT_EQ(d.findGt(4)->box, (Box{400, 0, 409, 0}));
    EXPECT_EQ(d.shared(4, 4), 10);
    EXPECT_EQ(d.impliedCounts(), page.counts);
}

}  // namespace
}  // namespace corvanel
