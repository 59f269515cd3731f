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

}  // namespace

// Counts runs of equal (gt, rs) label pairs; (0, 0) runs are background and
// skipped. A pair with one side 0 still counts toward the other side's area.
// Every non-zero label starts a run or repeats its start, so testing run
// starts finds every negative label. A run cut by a slice border is simply
// counted in two parts.
void OverlapCounter::add(const std::int32_t* gt, const std::int32_t* rs, std::size_t n) {
    std::size_t i = 0;
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
        if ((g | r) < 0) negative_ = true;
        const std::size_t start = i++;
        while (i < n && gt[i] == g && rs[i] == r) ++i;
        runs_[pairKey(g, r)] += static_cast<std::int64_t>(i - start);
    }
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
