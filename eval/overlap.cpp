#include "eval/overlap.h"

#include "eval/flat_map.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvanel {

namespace {

std::uint64_t pairKey(std::int32_t gt, std::int32_t rs) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(gt)) << 32 |
           static_cast<std::uint32_t>(rs);
}

// Region index of a label that occurs: straight from a table where the
// labels are about as many as their largest (the usual 1, 2, 3, ...),
// otherwise by binary search.
class RegionIndex {
public:
    explicit RegionIndex(const std::vector<std::int32_t>& sorted) : sorted_(sorted) {
        if (sorted.empty() || static_cast<std::size_t>(sorted.back()) > 4 * sorted.size() + 1024) return;
        direct_.assign(static_cast<std::size_t>(sorted.back()) + 1, 0);
        for (std::size_t i = 0; i < sorted.size(); ++i)
            direct_[static_cast<std::size_t>(sorted[i])] = static_cast<std::int32_t>(i);
    }
    std::int32_t operator()(std::int32_t label) const {
        if (!direct_.empty()) return direct_[static_cast<std::size_t>(label)];
        return static_cast<std::int32_t>(std::lower_bound(sorted_.begin(), sorted_.end(), label) - sorted_.begin());
    }

private:
    const std::vector<std::int32_t>& sorted_;
    std::vector<std::int32_t> direct_;
};

// Four labels of one map, loaded unaligned.
using Lanes = std::int32_t __attribute__((vector_size(16)));
inline Lanes load(const std::int32_t* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline bool allZero(Lanes v) {
    std::uint64_t half[2];
    std::memcpy(half, &v, sizeof half);
    return (half[0] | half[1]) == 0;
}

#if defined(__SSE2__)
// Set bits of a 16-bit mask; std::popcount would call libgcc without -mpopcnt.
inline int bits16(std::uint32_t m) {
    m = m - ((m >> 1) & 0x5555u);
    m = (m & 0x3333u) + ((m >> 2) & 0x3333u);
    m = (m + (m >> 4)) & 0x0F0Fu;
    return static_cast<int>((m + (m >> 8)) & 0x1Fu);
}

// One bit a label of a block of sixteen, from four lane masks.
inline std::uint32_t mask16(__m128i a, __m128i b, __m128i c, __m128i d) {
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d))));
}

// What a block of sixteen labels of both maps holds: a bit for each label
// that is background in both, and whether every other label is of the pair
// of the first (`first`, its place in the block).
struct Block {
    std::uint32_t background = 0xFFFF;
    int first = 0;
    bool onePair = false;
};

inline Block blockAt(const std::int32_t* gt, const std::int32_t* rs) {
    const auto at = [](const std::int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i zero = _mm_setzero_si128();
    const __m128i g0 = at(gt), g1 = at(gt + 4), g2 = at(gt + 8), g3 = at(gt + 12);
    const __m128i r0 = at(rs), r1 = at(rs + 4), r2 = at(rs + 8), r3 = at(rs + 12);
    const __m128i o0 = _mm_or_si128(g0, r0), o1 = _mm_or_si128(g1, r1);
    const __m128i o2 = _mm_or_si128(g2, r2), o3 = _mm_or_si128(g3, r3);
    Block block;
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_or_si128(_mm_or_si128(o0, o1), _mm_or_si128(o2, o3)), zero)) == 0xFFFF)
        return block;
    const __m128i z0 = _mm_cmpeq_epi32(o0, zero), z1 = _mm_cmpeq_epi32(o1, zero);
    const __m128i z2 = _mm_cmpeq_epi32(o2, zero), z3 = _mm_cmpeq_epi32(o3, zero);
    block.background = mask16(z0, z1, z2, z3);
    block.first = std::countr_zero(~block.background);
    const __m128i g = _mm_set1_epi32(gt[block.first]), r = _mm_set1_epi32(rs[block.first]);
    const auto sameOrBackground = [&](__m128i gv, __m128i rv, __m128i zv) {
        return _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi32(gv, g), _mm_cmpeq_epi32(rv, r)), zv);
    };
    block.onePair = mask16(sameOrBackground(g0, r0, z0), sameOrBackground(g1, r1, z1), sameOrBackground(g2, r2, z2),
                           sameOrBackground(g3, r3, z3)) == 0xFFFF;
    return block;
}
#endif

// Calls fn(g, r, start, end) for each run [start, end) of equal (gt, rs)
// label pairs within [i, n); (0, 0) runs are background and skipped. Every
// non-zero label starts a run or repeats its start, so testing run starts
// finds every negative label. Both the background and a run are crossed
// sixteen or four labels of both maps at a time: most of a page is either.
template <class Fn>
inline void forEachRun(const std::int32_t* gt, const std::int32_t* rs, std::size_t i, std::size_t n,
                       bool& negative, Fn&& fn) {
    while (i < n) {
        while (i + 16 <= n && allZero(load(gt + i) | load(gt + i + 4) | load(gt + i + 8) | load(gt + i + 12) |
                                      load(rs + i) | load(rs + i + 4) | load(rs + i + 8) | load(rs + i + 12)))
            i += 16;
        while (i < n && (gt[i] | rs[i]) == 0) ++i;
        if (i == n) break;
        const std::int32_t g = gt[i];
        const std::int32_t r = rs[i];
        if ((g | r) < 0) negative = true;
        const std::size_t start = i++;
        const Lanes gs = {g, g, g, g}, rs4 = {r, r, r, r};
        while (i + 4 <= n && allZero((load(gt + i) ^ gs) | (load(rs + i) ^ rs4))) i += 4;
        while (i < n && gt[i] == g && rs[i] == r) ++i;
        fn(g, r, start, i);
    }
}

}  // namespace

void Box::add(std::int32_t x0, std::int32_t x1, std::int32_t y) {
    left = std::min(left, x0);
    right = std::max(right, x1);
    top = std::min(top, y);
    bottom = std::max(bottom, y);
}

void Box::add(const Box& o) {
    if (o.empty()) return;
    add(o.left, o.right, o.top);
    add(o.left, o.right, o.bottom);
}

OverlapCounter::OverlapCounter(std::int32_t rowLength)
    : runs_(0), boxed_(rowLength > 0 ? 1024 : 0), rowLength_(rowLength > 0 ? static_cast<std::size_t>(rowLength) : 0) {}

// A pair with one side 0 still counts toward the other side's area.
//
// Blocks of sixteen labels, each on its own: where both maps are background
// the block is skipped; where every other label belongs to one pair (98% of
// the rest on a page of 3000 words, more on others) the block adds its count
// of them to that pair at once, whatever the strokes' runs inside it; only a
// block that holds several pairs is walked run by run. A row crossing one
// word's strokes finds that pair's counter without a lookup.
void OverlapCounter::add(const std::int32_t* gt, const std::int32_t* rs, std::size_t n) {
    if (rowLength_ != 0) return addWithBoxes(gt, rs, n);
    std::uint64_t lastKey = 0;
    std::int64_t* last = nullptr;
    const auto count = [&](std::uint64_t key, std::int64_t pixels) {
        if (key != lastKey) {
            // Every label that is not background passes here in some key.
            if (static_cast<std::int32_t>(key >> 32) < 0 || static_cast<std::int32_t>(key) < 0) negative_ = true;
            last = &runs_[key];
            lastKey = key;
        }
        *last += pixels;
    };
    const auto runsOf = [&](std::size_t from, std::size_t to) {
        for (std::size_t a = from, b; a < to; a = b) {
            for (b = a + 1; b < to && gt[b] == gt[a] && rs[b] == rs[a];) ++b;
            if ((gt[a] | rs[a]) != 0) count(pairKey(gt[a], rs[a]), static_cast<std::int64_t>(b - a));
        }
    };
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const Block block = blockAt(gt + i, rs + i);
        if (block.background == 0xFFFF) continue;
        const std::size_t k = i + static_cast<std::size_t>(block.first);
        if (block.onePair)
            count(pairKey(gt[k], rs[k]), 16 - bits16(block.background));
        else
            runsOf(i, i + 16);
    }
#endif
    runsOf(i, n);
}

// Runs are cut at row ends, so each lies on one row. As add() does, a block
// of sixteen labels that holds one pair beside background counts at once,
// its box widened once from the block's first to its last labelled place.
void OverlapCounter::addWithBoxes(const std::int32_t* gt, const std::int32_t* rs, std::size_t n) {
    std::uint64_t lastKey = 0;
    BoxedCount* last = nullptr;
    const auto pairOf = [&](std::int32_t g, std::int32_t r) -> BoxedCount& {
        const std::uint64_t key = pairKey(g, r);
        // The only insertion is of a new key, which replaces the remembered one.
        if (key != lastKey || last == nullptr) {
            last = &boxed_[key];
            lastKey = key;
        }
        return *last;
    };
    for (std::size_t i = 0; i < n;) {
        const std::size_t x = (fed_ + i) % rowLength_;
        const auto y = static_cast<std::int32_t>((fed_ + i) / rowLength_);
        const std::size_t rowEnd = std::min(n, i + (rowLength_ - x));
        const std::size_t rowStart = i;
        const auto column = [&](std::size_t at) { return static_cast<std::int32_t>(x + (at - rowStart)); };
        const auto runs = [&](std::size_t from, std::size_t to) {
            forEachRun(gt, rs, from, to, negative_, [&](std::int32_t g, std::int32_t r, std::size_t start, std::size_t end) {
                BoxedCount& pair = pairOf(g, r);
                pair.pixels += static_cast<std::int64_t>(end - start);
                pair.box.add(column(start), column(end - 1), y);
            });
        };
        std::size_t j = i;
#if defined(__SSE2__)
        for (; j + 16 <= rowEnd; j += 16) {
            const Block block = blockAt(gt + j, rs + j);
            if (block.background == 0xFFFF) continue;
            if (!block.onePair) {
                runs(j, j + 16);
                continue;
            }
            const std::size_t first = j + static_cast<std::size_t>(block.first);
            const std::size_t lastPlace = j + static_cast<std::size_t>(31 - std::countl_zero(~block.background & 0xFFFFu));
            const std::int32_t g = gt[first], r = rs[first];
            if ((g | r) < 0) negative_ = true;
            BoxedCount& pair = pairOf(g, r);
            pair.pixels += 16 - bits16(block.background);
            pair.box.add(column(first), column(lastPlace), y);
        }
#endif
        runs(j, rowEnd);
        i = rowEnd;
    }
    fed_ += n;
}

OverlapTable countOverlaps(const LabelMap& gt, const LabelMap& rs) {
    OverlapCounter counter;
    counter.add(gt.data(), rs.data(), gt.pixelCount());
    return counter.finish();
}

OverlapTable OverlapCounter::finish() {
    OverlapTable table;
    const bool withBoxes = rowLength_ != 0;

    // The counted pairs in (gt label, result label) order, so that every
    // table below is filled front to back; the counter's map is released as
    // soon as it is read.
    struct Entry {
        std::int32_t g, r;
        std::int64_t pixels;
        Box box;
    };
    std::vector<Entry> entries;
    entries.reserve(withBoxes ? boxed_.size() : runs_.size());
    const auto labelsOf = [](std::uint64_t key) {
        return std::pair{static_cast<std::int32_t>(key >> 32), static_cast<std::int32_t>(key & 0xFFFFFFFFu)};
    };
    if (withBoxes) {
        boxed_.forEach([&](std::uint64_t key, const BoxedCount& c) {
            const auto [g, r] = labelsOf(key);
            entries.push_back({g, r, c.pixels, c.box});
        });
        boxed_ = detail::FlatMap<BoxedCount>(0);
    } else {
        runs_.forEach([&](std::uint64_t key, std::int64_t pixels) {
            const auto [g, r] = labelsOf(key);
            entries.push_back({g, r, pixels, Box{}});
        });
        runs_ = detail::FlatMap<std::int64_t>(0);
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.g != b.g ? a.g < b.g : a.r < b.r; });

    std::size_t P = 0;
    for (const Entry& e : entries) {
        if (e.g != 0 && (table.gtLabels.empty() || table.gtLabels.back() != e.g)) table.gtLabels.push_back(e.g);
        if (e.r != 0) table.rsLabels.push_back(e.r);
        P += e.g != 0 && e.r != 0;
    }
    std::sort(table.rsLabels.begin(), table.rsLabels.end());
    table.rsLabels.erase(std::unique(table.rsLabels.begin(), table.rsLabels.end()), table.rsLabels.end());
    table.rsLabels.shrink_to_fit();

    const std::size_t N = table.gtLabels.size();
    const std::size_t M = table.rsLabels.size();
    table.pinakas2.assign(N, 0);
    table.BlackCounter.assign(M, 0);
    if (withBoxes) {
        table.gtBoxes.assign(N, Box{});
        table.rsBoxes.assign(M, Box{});
    }
    SparseOverlaps& ov = table.pinakas;
    ov.rowStart.assign(N + 1, 0);
    ov.colStart.assign(M + 1, 0);
    ov.pairGt.reserve(P);
    ov.pairRs.reserve(P);
    ov.pairShared.reserve(P);

    // Pairs with both sides present become overlaps, in (i, j) order.
    const RegionIndex rsIndex(table.rsLabels);
    std::size_t i = 0;
    for (const Entry& e : entries) {
        if (e.g != 0) {
            while (table.gtLabels[i] != e.g) ++i;
            table.pinakas2[i] += e.pixels;
            if (withBoxes) table.gtBoxes[i].add(e.box);
        }
        if (e.r == 0) continue;
        const auto j = static_cast<std::size_t>(rsIndex(e.r));
        table.BlackCounter[j] += e.pixels;
        if (withBoxes) table.rsBoxes[j].add(e.box);
        if (e.g == 0) continue;
        ov.pairGt.push_back(static_cast<std::int32_t>(i));
        ov.pairRs.push_back(static_cast<std::int32_t>(j));
        ov.pairShared.push_back(e.pixels);
        ++ov.rowStart[i + 1];
        ++ov.colStart[j + 1];
    }
    entries = {};
    std::partial_sum(ov.rowStart.begin(), ov.rowStart.end(), ov.rowStart.begin());
    std::partial_sum(ov.colStart.begin(), ov.colStart.end(), ov.colStart.begin());

    // Pairs are in row order, so filling columns in pair order keeps each
    // column ascending in i.
    ov.colPairs.resize(P);
    std::vector<std::size_t> fill(ov.colStart.begin(), ov.colStart.end() - 1);
    for (std::size_t k = 0; k < P; ++k) ov.colPairs[fill[static_cast<std::size_t>(ov.pairRs[k])]++] = k;
    return table;
}

}  // namespace corvanel
