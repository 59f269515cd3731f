#include "eval/matching.h"

#include <cstddef>

namespace corvanel {

Counts& Counts::operator+=(const Counts& o) {
    N += o.N;
    M += o.M;
    one2one += o.one2one;
    g_one2many += o.g_one2many;
    g_many2one += o.g_many2one;
    d_one2many += o.d_one2many;
    d_many2one += o.d_many2one;
    return *this;
}

namespace {

using Index = std::size_t;

// The pair of highest score among pairs [first, last) of one row that
// `accept` takes, the first one on equal scores; a candidate must exceed the
// running highest, which starts at 0. npos when none exceeds 0.
template <class Accept>
Index firstHighest(Index first, Index last, const std::vector<std::int32_t>& score, Accept accept) {
    Index best = static_cast<Index>(-1);
    std::int32_t highest = 0;
    for (Index p = first; p < last; ++p) {
        if (accept(p) && score[p] > highest) {
            highest = score[p];
            best = p;
        }
    }
    return best;
}

}  // namespace

Matching matchRegions(const OverlapTable& table, std::int32_t T) {
    const SparseOverlaps& ov = table.pinakas;
    const Index N = table.gtLabels.size();
    const Index M = table.rsLabels.size();
    const Index P = ov.pairCount();

    // Scores and the match test. Pairs that share no pixel score 0 and never
    // match, so they need no entry.
    std::vector<std::int32_t> score(P);
    std::vector<unsigned char> match(P);
    for (Index p = 0; p < P; ++p) {
        const double s = matchScore(ov.pairShared[p], table.pinakas2[static_cast<Index>(ov.pairGt[p])],
                                    table.BlackCounter[static_cast<Index>(ov.pairRs[p])]);
        score[p] = static_cast<std::int32_t>(s);
        match[p] = static_cast<std::int64_t>(s / T) >= 1 ? 1 : 0;
    }

    // States: the number of partners reaching the threshold; -1 once taken.
    std::vector<std::int64_t> gs(N, 0), rs(M, 0);
    for (Index p = 0; p < P; ++p)
        if (match[p]) {
            ++gs[static_cast<Index>(ov.pairGt[p])];
            ++rs[static_cast<Index>(ov.pairRs[p])];
        }

    Matching out;
    Counts& c = out.counts;
    MatchDetail& d = out.detail;
    c.N = static_cast<std::int64_t>(N);
    c.M = static_cast<std::int64_t>(M);
    auto gtLabel = [&](Index i) { return table.gtLabels[i]; };
    auto rsLabel = [&](Index j) { return table.rsLabels[j]; };

    // Plain one-to-one matches.
    for (Index i = 0; i < N; ++i)
        for (Index p = ov.rowStart[i]; p < ov.rowStart[i + 1]; ++p) {
            const auto j = static_cast<Index>(ov.pairRs[p]);
            if (match[p] && rs[j] == 1 && gs[i] == 1) {
                gs[i] = rs[j] = -1;
                ++c.one2one;
                d.one2one.push_back({gtLabel(i), rsLabel(j), score[p]});
            }
        }

    // Result regions reaching the threshold with several ground-truth regions.
    for (Index i = 0; i < N; ++i)
        for (Index p = ov.rowStart[i]; p < ov.rowStart[i + 1]; ++p) {
            const auto j = static_cast<Index>(ov.pairRs[p]);
            if (!(match[p] && rs[j] > 1 && gs[i] == 1)) continue;
            ++c.one2one;
            std::int32_t best = 0;
            Index chosen = i;
            Index chosenPair = p;
            for (Index k = ov.colStart[j]; k < ov.colStart[j + 1]; ++k) {
                const Index q = ov.colPairs[k];
                const auto g = static_cast<Index>(ov.pairGt[q]);
                if (!(score[q] > best && match[q])) continue;
                bool takesJ = true;
                if (gs[g] > 1) {
                    const Index top = firstHighest(ov.rowStart[g], ov.rowStart[g + 1], score,
                                                   [](Index) { return true; });
                    takesJ = static_cast<Index>(ov.pairRs[top]) == j;
                }
                if (takesJ) {
                    best = score[q];
                    chosen = g;
                    chosenPair = q;
                }
            }
            gs[chosen] = -1;
            rs[j] = -1;
            d.one2one.push_back({gtLabel(chosen), rsLabel(j), score[chosenPair]});
        }

    // Ground-truth regions reaching the threshold with several result regions.
    for (Index i = 0; i < N; ++i) {
        if (gs[i] <= 1) continue;
        const Index top = firstHighest(ov.rowStart[i], ov.rowStart[i + 1], score,
                                       [&](Index q) { return match[q] != 0; });
        const auto j = static_cast<Index>(ov.pairRs[top]);
        gs[i] = rs[j] = -1;
        ++c.one2one;
        d.one2one.push_back({gtLabel(i), rsLabel(j), score[top]});
    }

    // Ground-truth-centred groups, then result-centred groups. Scores below 5
    // never join a group.
    std::vector<Index> members;
    for (Index i = 0; i < N; ++i) {
        if (gs[i] < 0) continue;
        std::int64_t sum = 0;
        members.clear();
        for (Index p = ov.rowStart[i]; p < ov.rowStart[i + 1]; ++p) {
            const auto j = static_cast<Index>(ov.pairRs[p]);
            if (rs[j] >= 0 && score[p] >= 5) {
                members.push_back(j);
                sum += score[p];
            }
        }
        if (sum < T) continue;
        gs[i] = -1;
        MatchedGroup group{gtLabel(i), {}};
        for (Index j : members) {
            rs[j] = -1;
            group.members.push_back(rsLabel(j));
        }
        ++c.d_one2many;
        c.g_many2one += static_cast<std::int64_t>(members.size());
        d.gtCentred.push_back(std::move(group));
    }
    for (Index j = 0; j < M; ++j) {
        if (rs[j] < 0) continue;
        std::int64_t sum = 0;
        members.clear();
        for (Index k = ov.colStart[j]; k < ov.colStart[j + 1]; ++k) {
            const Index q = ov.colPairs[k];
            const auto i = static_cast<Index>(ov.pairGt[q]);
            if (gs[i] >= 0 && score[q] >= 5) {
                members.push_back(i);
                sum += score[q];
            }
        }
        if (sum < T) continue;
        rs[j] = -1;
        MatchedGroup group{rsLabel(j), {}};
        for (Index i : members) {
            gs[i] = -1;
            group.members.push_back(gtLabel(i));
        }
        ++c.g_one2many;
        c.d_many2one += static_cast<std::int64_t>(members.size());
        d.resultCentred.push_back(std::move(group));
    }

    for (Index i = 0; i < N; ++i)
        if (gs[i] >= 0) d.unmatchedGt.push_back(gtLabel(i));
    for (Index j = 0; j < M; ++j)
        if (rs[j] >= 0) d.unmatchedResult.push_back(rsLabel(j));
    return out;
}

}  // namespace corvanel
