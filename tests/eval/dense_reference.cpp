#include "tests/eval/dense_reference.h"

#include <cstddef>
#include <stdexcept>
#include <vector>

namespace corvanel::reference {

namespace {

constexpr std::int32_t kUnset = 9999;

// The per-label table a reader builds: five arrays indexed by label, sized by
// the largest label, and the labels present in ascending order.
struct SlotTable {
    std::int32_t largest = 0;
    std::vector<std::int32_t> left, right, top, bottom;
    std::vector<std::int32_t> present;
};

SlotTable buildSlotTable(const LabelMap& map) {
    const std::int32_t W = map.width();
    const std::int32_t H = map.height();
    SlotTable t;

    for (std::int32_t x = 0; x < W; ++x)
        for (std::int32_t y = 0; y < H; ++y) {
            const std::int32_t v = map.at(x, y);
            if (v != 0 && v > t.largest) t.largest = v;
        }

    // size_t: largest + 1 would overflow 32 bits for the largest possible label.
    const std::size_t slots = static_cast<std::size_t>(t.largest) + 1;
    t.left.assign(slots, kUnset);
    t.top.assign(slots, kUnset);
    t.right.assign(slots, 0);
    t.bottom.assign(slots, 0);

    for (std::int32_t x = 0; x < W; ++x)
        for (std::int32_t y = 0; y < H; ++y) {
            const auto v = static_cast<std::size_t>(map.at(x, y));
            if (v == 0) continue;
            if (x < t.left[v]) t.left[v] = x;
            if (x > t.right[v]) t.right[v] = x;
            if (y < t.top[v]) t.top[v] = y;
            if (y > t.bottom[v]) t.bottom[v] = y;
        }

    for (std::size_t label = 1; label < slots; ++label)
        if (t.left[label] != kUnset) t.present.push_back(static_cast<std::int32_t>(label));
    return t;
}

bool inside(const LabelMap& map, std::int32_t x, std::int32_t y) {
    return x >= 0 && x < map.width() && y >= 0 && y < map.height();
}

// Pixels carrying `label`, counted inside its bounding box.
std::int64_t areaInBox(const LabelMap& map, const SlotTable& t, std::int32_t label) {
    const auto v = static_cast<std::size_t>(label);
    std::int64_t count = 0;
    for (std::int32_t x = t.left[v]; x <= t.right[v]; ++x)
        for (std::int32_t y = t.top[v]; y <= t.bottom[v]; ++y)
            if (inside(map, x, y) && map.at(x, y) == label) ++count;
    return count;
}

}  // namespace

Counts denseEvaluate(const LabelMap& gt, const LabelMap& rs, std::int32_t T) {
    const SlotTable g = buildSlotTable(gt);
    const SlotTable r = buildSlotTable(rs);
    const std::size_t N = g.present.size();
    const std::size_t M = r.present.size();
    auto at = [M](std::size_t i, std::size_t j) { return i * M + j; };

    std::vector<std::int64_t> BlackCounter(M, 0);
    std::vector<std::int64_t> pinakas2(N, 0);
    std::vector<std::int64_t> pinakas(N * M, 0);
    std::vector<std::int32_t> score(N * M, 0);
    std::vector<std::int32_t> match(N * M, 0);
    std::vector<std::int32_t> gtState(N, 0);
    std::vector<std::int32_t> rsState(M, 0);

    for (std::size_t j = 0; j < M; ++j) BlackCounter[j] = areaInBox(rs, r, r.present[j]);
    for (std::size_t i = 0; i < N; ++i) pinakas2[i] = areaInBox(gt, g, g.present[i]);

    for (std::size_t i = 0; i < N; ++i) {
        const std::int32_t gl = g.present[i];
        const auto gv = static_cast<std::size_t>(gl);
        for (std::size_t j = 0; j < M; ++j) {
            const std::int32_t rl = r.present[j];
            const auto rv = static_cast<std::size_t>(rl);
            const std::int32_t x0 = g.left[gv] > r.left[rv] ? g.left[gv] : r.left[rv];
            const std::int32_t x1 = g.right[gv] < r.right[rv] ? g.right[gv] : r.right[rv];
            const std::int32_t y0 = g.top[gv] > r.top[rv] ? g.top[gv] : r.top[rv];
            const std::int32_t y1 = g.bottom[gv] < r.bottom[rv] ? g.bottom[gv] : r.bottom[rv];
            if (x0 > x1 || y0 > y1) continue;
            std::int64_t shared = 0;
            for (std::int32_t x = x0; x <= x1; ++x)
                for (std::int32_t y = y0; y <= y1; ++y)
                    if (inside(gt, x, y) && inside(rs, x, y) && gt.at(x, y) == gl && rs.at(x, y) == rl)
                        ++shared;
            pinakas[at(i, j)] = 100 * shared;
        }
    }

    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = 0; j < M; ++j) {
            const double sg = static_cast<double>(pinakas[at(i, j)]) / static_cast<double>(pinakas2[i]);
            const double sr = static_cast<double>(pinakas[at(i, j)]) / static_cast<double>(BlackCounter[j]);
            const double s = sr <= sg ? sr : sg;
            score[at(i, j)] = static_cast<std::int32_t>(s);
            match[at(i, j)] = static_cast<std::int32_t>(s / T) >= 1 ? 1 : 0;
        }

    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = 0; j < M; ++j)
            if (match[at(i, j)] == 1) {
                ++rsState[j];
                ++gtState[i];
            }

    Counts c;
    c.N = static_cast<std::int64_t>(N);
    c.M = static_cast<std::int64_t>(M);

    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = 0; j < M; ++j)
            if (match[at(i, j)] == 1 && rsState[j] == 1 && gtState[i] == 1) {
                rsState[j] = -1;
                gtState[i] = -1;
                ++c.one2one;
            }

    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = 0; j < M; ++j) {
            if (!(match[at(i, j)] == 1 && rsState[j] > 1 && gtState[i] == 1)) continue;
            ++c.one2one;
            std::int32_t best = 0;
            std::size_t chosen = N;
            for (std::size_t k = 0; k < N; ++k) {
                if (!(score[at(k, j)] > best && match[at(k, j)] == 1)) continue;
                std::size_t p = j;
                if (gtState[k] > 1) {
                    std::int32_t highest = 0;
                    p = M;
                    for (std::size_t jj = 0; jj < M; ++jj)
                        if (score[at(k, jj)] > highest) {
                            highest = score[at(k, jj)];
                            p = jj;
                        }
                }
                if (p == j) {
                    best = score[at(k, j)];
                    chosen = k;
                }
            }
            if (chosen == N) throw std::logic_error("no ground-truth partner chosen for a result region");
            gtState[chosen] = -1;
            rsState[j] = -1;
        }

    for (std::size_t i = 0; i < N; ++i) {
        if (!(gtState[i] > 1)) continue;
        std::int32_t highest = 0;
        std::size_t top = M;
        for (std::size_t j = 0; j < M; ++j)
            if (match[at(i, j)] == 1 && score[at(i, j)] > highest) {
                highest = score[at(i, j)];
                top = j;
            }
        if (top == M) throw std::logic_error("no result partner for a ground-truth region");
        gtState[i] = -1;
        rsState[top] = -1;
        ++c.one2one;
    }

    std::vector<std::size_t> group;
    for (std::size_t i = 0; i < N; ++i) {
        if (!(gtState[i] >= 0)) continue;
        group.clear();
        std::int64_t sum = 0;
        for (std::size_t j = 0; j < M; ++j)
            if (rsState[j] >= 0 && score[at(i, j)] >= 5) {
                group.push_back(j);
                sum += score[at(i, j)];
            }
        if (sum >= T) {
            gtState[i] = -1;
            for (std::size_t j : group) rsState[j] = -1;
            ++c.d_one2many;
            c.g_many2one += static_cast<std::int64_t>(group.size());
        }
    }

    for (std::size_t j = 0; j < M; ++j) {
        if (!(rsState[j] >= 0)) continue;
        group.clear();
        std::int64_t sum = 0;
        for (std::size_t i = 0; i < N; ++i)
            if (gtState[i] >= 0 && score[at(i, j)] >= 5) {
                group.push_back(i);
                sum += score[at(i, j)];
            }
        if (sum >= T) {
            rsState[j] = -1;
            for (std::size_t i : group) gtState[i] = -1;
            ++c.g_one2many;
            c.d_many2one += static_cast<std::int64_t>(group.size());
        }
    }
    return c;
}

}  // namespace corvanel::reference
