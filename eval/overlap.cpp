#include "overlap.h"

#include "flat_map.h"

#include <algorithm>
#include <numeric>

namespace corvanel {

namespace {

std::uint64_t pairKey(std::int32_t gt, std::int32_t rs) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(gt)) << 32 |
           static_cast<std::uint32_t>(rs);
}

std::int32_t indexOf(const std::vector<std::int32_t>& sorted, std::int32_t label) {
    return static_cast<std::int32_t>(std::lower_bound(sorted.begin(), sorted.end(), label) - sorted.begin());
}

// Calls fn(g, r, start, end) for each run [start, end) of equal (gt, rs)
// label pairs within [i, n); (0, 0) runs are background and skipped. Every
// non-zero label starts a run or repeats its start, so testing run starts
// finds every negative label.
template <class Fn>
inline void forEachRun(const std::int32_t* gt, const std::int32_t* rs, std::size_t i, std::size_t n,
                       bool& negative, Fn&& fn) {
    while (i < n) {
        // Background: test eight pixels at a time while both maps are empty.
        while (i + 8 <= n) {
            std::int32_t any = 0;
            for (std::size_t k = 0; k < 8; ++k) any |= gt[i + k] | rs[i + k];
            if (any != 0) break;
            i += 8;
        }
        while (i < n && (gt[i] | rs[i]) == 0) ++i;
        if (i == n) break;
        const std::int32_t g = gt[i];
        const std::int32_t r = rs[i];
        if ((g | r) < 0) negative = true;
        const std::size_t start = i++;
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
void OverlapCounter::add(const std::int32_t* gt, const std::int32_t* rs, std::size_t n) {
    if (rowLength_ != 0) return addWithBoxes(gt, rs, n);
    forEachRun(gt, rs, 0, n, negative_, [&](std::int32_t g, std::int32_t r, std::size_t start, std::size_t end) {
        runs_[pairKey(g, r)] += static_cast<std::int64_t>(end - start);
    });
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
