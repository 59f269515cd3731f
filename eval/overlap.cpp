#include "overlap.h"

#include "flat_map.h"

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

std::int32_t indexOf(const std::vector<std::int32_t>& sorted, std::int32_t label) {
    return static_cast<std::int32_t>(std::lower_bound(sorted.begin(), sorted.end(), label) - sorted.begin());
}

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

// Bit k set where label k of the block differs, in either map, from the one
// before it (label -1 is the block's `before`).
inline std::uint32_t changes16(const std::int32_t* gt, const std::int32_t* rs) {
#if defined(__SSE2__)
    std::uint32_t mask = 0;
    for (int q = 0; q < 4; ++q) {
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gt + 4 * q));
        const __m128i gp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gt + 4 * q - 1));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rs + 4 * q));
        const __m128i rp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rs + 4 * q - 1));
        const __m128i same = _mm_and_si128(_mm_cmpeq_epi32(g, gp), _mm_cmpeq_epi32(r, rp));
        mask |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(same))) << (4 * q);
    }
    return ~mask & 0xFFFFu;
#else
    std::uint32_t mask = 0;
    for (int k = 0; k < 16; ++k)
        mask |= static_cast<std::uint32_t>(gt[k] != gt[k - 1] || rs[k] != rs[k - 1]) << k;
    return mask;
#endif
}

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
    : rowLength_(rowLength > 0 ? static_cast<std::size_t>(rowLength) : 0), boxes_(rowLength > 0 ? 1024 : 0) {}

// A pair with one side 0 still counts toward the other side's area. A run
// cut by a slice border is simply counted in two parts.
//
// Blocks of sixteen labels: where both maps are background and no run is
// open the block is skipped; otherwise the run borders in it come as a bit
// mask, so a block costs a few vector compares plus one step per border,
// and a row crossing the same pair's strokes again and again finds that
// pair's counter without a lookup.
void OverlapCounter::add(const std::int32_t* gt, const std::int32_t* rs, std::size_t n) {
    if (rowLength_ != 0) return addWithBoxes(gt, rs, n);
    if (n == 0) return;
    std::uint64_t lastKey = 0;
    std::int64_t* last = nullptr;
    std::uint64_t open = pairKey(gt[0], rs[0]);  // the run being crossed, 0 for background
    std::size_t openedAt = 0;
    const auto close = [&](std::size_t at) {
        if (open == 0) return;
        if (open != lastKey) {
            // Negative labels only ever show at a run's start.
            if (static_cast<std::int32_t>(open >> 32) < 0 || static_cast<std::int32_t>(open) < 0) negative_ = true;
            last = &runs_[open];
            lastKey = open;
        }
        *last += static_cast<std::int64_t>(at - openedAt);
    };
    const auto border = [&](std::size_t at) {
        close(at);
        open = pairKey(gt[at], rs[at]);
        openedAt = at;
    };
    std::size_t i = 1;
    for (; i + 16 <= n; i += 16) {
        if (open == 0 && allZero(load(gt + i) | load(gt + i + 4) | load(gt + i + 8) | load(gt + i + 12) |
                                 load(rs + i) | load(rs + i + 4) | load(rs + i + 8) | load(rs + i + 12)))
            continue;
        for (std::uint32_t mask = changes16(gt + i, rs + i); mask != 0; mask &= mask - 1)
            border(i + static_cast<std::size_t>(std::countr_zero(mask)));
    }
    for (; i < n; ++i)
        if (gt[i] != gt[i - 1] || rs[i] != rs[i - 1]) border(i);
    close(n);
}

// Runs are cut at row ends, so each lies on one row.
void OverlapCounter::addWithBoxes(const std::int32_t* gt, const std::int32_t* rs, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const std::size_t x = (fed_ + i) % rowLength_;
        const auto y = static_cast<std::int32_t>((fed_ + i) / rowLength_);
        const std::size_t rowEnd = std::min(n, i + (rowLength_ - x));
        const std::size_t rowStart = i;
        forEachRun(gt, rs, i, rowEnd, negative_,
                   [&](std::int32_t g, std::int32_t r, std::size_t start, std::size_t end) {
                       const std::uint64_t key = pairKey(g, r);
                       runs_[key] += static_cast<std::int64_t>(end - start);
                       boxes_[key].add(static_cast<std::int32_t>(x + (start - rowStart)),
                                       static_cast<std::int32_t>(x + (end - 1 - rowStart)), y);
                   });
        i = rowEnd;
    }
    fed_ += n;
}

OverlapTable countOverlaps(const LabelMap& gt, const LabelMap& rs) {
    OverlapCounter counter;
    counter.add(gt.data(), rs.data(), gt.pixelCount());
    return counter.finish();
}

OverlapTable OverlapCounter::finish() const {
    OverlapTable table;
    const auto& runs = runs_;

    struct Pair {
        std::int32_t g, r;
        std::int64_t shared;
    };
    std::vector<Pair> pairs;
    pairs.reserve(runs.size());
    runs.forEach([&](std::uint64_t key, std::int64_t count) {
        const auto g = static_cast<std::int32_t>(key >> 32);
        const auto r = static_cast<std::int32_t>(key & 0xFFFFFFFFu);
        if (g != 0) table.gtLabels.push_back(g);
        if (r != 0) table.rsLabels.push_back(r);
        pairs.push_back({g, r, count});
    });
    for (auto* labels : {&table.gtLabels, &table.rsLabels}) {
        std::sort(labels->begin(), labels->end());
        labels->erase(std::unique(labels->begin(), labels->end()), labels->end());
    }

    const std::size_t N = table.gtLabels.size();
    const std::size_t M = table.rsLabels.size();
    table.pinakas2.assign(N, 0);
    table.BlackCounter.assign(M, 0);
    SparseOverlaps& ov = table.pinakas;
    ov.rowStart.assign(N + 1, 0);
    ov.colStart.assign(M + 1, 0);

    // Translate labels to region indices; pairs with both sides present
    // become overlaps, sorted by (i, j).
    std::vector<Pair> shared;
    for (const Pair& p : pairs) {
        const std::int32_t i = p.g != 0 ? indexOf(table.gtLabels, p.g) : -1;
        const std::int32_t j = p.r != 0 ? indexOf(table.rsLabels, p.r) : -1;
        if (i >= 0) table.pinakas2[static_cast<std::size_t>(i)] += p.shared;
        if (j >= 0) table.BlackCounter[static_cast<std::size_t>(j)] += p.shared;
        if (i >= 0 && j >= 0) shared.push_back({i, j, p.shared});
    }
    if (rowLength_ != 0) {
        table.gtBoxes.assign(N, Box{});
        table.rsBoxes.assign(M, Box{});
        boxes_.forEach([&](std::uint64_t key, const Box& box) {
            const auto g = static_cast<std::int32_t>(key >> 32);
            const auto r = static_cast<std::int32_t>(key & 0xFFFFFFFFu);
            if (g != 0) table.gtBoxes[static_cast<std::size_t>(indexOf(table.gtLabels, g))].add(box);
            if (r != 0) table.rsBoxes[static_cast<std::size_t>(indexOf(table.rsLabels, r))].add(box);
        });
    }
    std::sort(shared.begin(), shared.end(),
              [](const Pair& a, const Pair& b) { return a.g != b.g ? a.g < b.g : a.r < b.r; });

    const std::size_t P = shared.size();
    ov.pairGt.resize(P);
    ov.pairRs.resize(P);
    ov.pairShared.resize(P);
    for (std::size_t k = 0; k < P; ++k) {
        ov.pairGt[k] = shared[k].g;
        ov.pairRs[k] = shared[k].r;
        ov.pairShared[k] = shared[k].shared;
        ++ov.rowStart[static_cast<std::size_t>(shared[k].g) + 1];
        ++ov.colStart[static_cast<std::size_t>(shared[k].r) + 1];
    }
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
