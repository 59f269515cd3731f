#include "segment/segmenter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace corvanel::segment {

namespace {

// A horizontal run of ink, [x0, x1).
struct Run {
    std::int32_t y, x0, x1;
};

std::vector<Run> findRuns(const BilevelPage& page) {
    std::vector<Run> runs;
    const auto w = page.width;
    for (std::int32_t y = 0; y < page.height; ++y) {
        const std::uint8_t* row = page.pixels + static_cast<std::size_t>(y) * page.stride;
        std::int32_t start = -1;
        if (page.packing == BilevelPage::Packing::Bytes) {
            for (std::int32_t x = 0; x < w; ++x) {
                const bool ink = row[x] != 0;
                if (ink && start < 0) start = x;
                if (!ink && start >= 0) {
                    runs.push_back({y, start, x});
                    start = -1;
                }
            }
        } else {
            const std::int32_t bytes = (w + 7) / 8;
            for (std::int32_t i = 0; i < bytes; ++i) {
                std::uint8_t b = row[i];
                if (i == bytes - 1 && (w & 7) != 0) b = static_cast<std::uint8_t>(b & (0xFF00 >> (w & 7)));
                // Whole bytes of paper or of ink change nothing.
                if ((b == 0 && start < 0) || (b == 0xFF && start >= 0)) continue;
                for (std::int32_t k = 0; k < 8; ++k) {
                    const std::int32_t x = i * 8 + k;
                    if (x >= w) break;
                    const bool ink = (b & (0x80 >> k)) != 0;
                    if (ink && start < 0) start = x;
                    if (!ink && start >= 0) {
                        runs.push_back({y, start, x});
                        start = -1;
                    }
                }
            }
        }
        if (start >= 0) runs.push_back({y, start, w});
    }
    return runs;
}

struct Component {
    std::int64_t area = 0;
    std::int32_t top = std::numeric_limits<std::int32_t>::max(), bottom = -1;
    std::int32_t left = std::numeric_limits<std::int32_t>::max(), right = -1;  // inclusive
    std::int32_t width() const { return right - left + 1; }
    std::int32_t height() const { return bottom - top + 1; }
};

// 8-connected components of the runs; component index of each run.
std::vector<std::int32_t> connectRuns(const std::vector<Run>& runs, std::int32_t height,
                                      std::vector<Component>& components) {
    std::vector<std::uint32_t> parent(runs.size());
    std::iota(parent.begin(), parent.end(), 0u);
    const auto find = [&](std::uint32_t a) {
        while (parent[a] != a) a = parent[a] = parent[parent[a]];
        return a;
    };
    std::vector<std::size_t> rowStart(static_cast<std::size_t>(height) + 1, runs.size());
    for (std::size_t i = runs.size(); i-- > 0;) rowStart[static_cast<std::size_t>(runs[i].y)] = i;
    for (std::size_t y = static_cast<std::size_t>(height); y-- > 0;)
        rowStart[y] = std::min(rowStart[y], rowStart[y + 1]);
    for (std::size_t y = 1; y < static_cast<std::size_t>(height); ++y) {
        std::size_t i = rowStart[y - 1], j = rowStart[y];
        const std::size_t endI = rowStart[y], endJ = rowStart[y + 1];
        while (i < endI && j < endJ) {
            const Run& a = runs[i];
            const Run& b = runs[j];
            if (b.x0 <= a.x1 && a.x0 <= b.x1) {
                const auto ra = find(static_cast<std::uint32_t>(i)), rb = find(static_cast<std::uint32_t>(j));
                if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
            }
            if (a.x1 < b.x1) ++i; else ++j;
        }
    }
    std::vector<std::int32_t> id(runs.size());
    components.clear();
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto root = find(static_cast<std::uint32_t>(i));
        if (root == i) {
            id[i] = static_cast<std::int32_t>(components.size());
            components.emplace_back();
        } else {
            id[i] = id[root];  // roots precede their runs: a root is the lowest index
        }
        Component& c = components[static_cast<std::size_t>(id[i])];
        c.area += runs[i].x1 - runs[i].x0;
        c.top = std::min(c.top, runs[i].y);
        c.bottom = std::max(c.bottom, runs[i].y);
        c.left = std::min(c.left, runs[i].x0);
        c.right = std::max(c.right, runs[i].x1 - 1);
    }
    return id;
}

std::vector<double> gaussianSmooth(const std::vector<double>& in, double sigma) {
    if (sigma < 0.5) return in;
    const auto radius = static_cast<std::ptrdiff_t>(std::ceil(3 * sigma));
    std::vector<double> kernel(static_cast<std::size_t>(2 * radius + 1));
    for (std::ptrdiff_t k = -radius; k <= radius; ++k)
        kernel[static_cast<std::size_t>(k + radius)] = std::exp(-0.5 * static_cast<double>(k * k) / (sigma * sigma));
    const auto n = static_cast<std::ptrdiff_t>(in.size());
    std::vector<double> out(in.size(), 0.0);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        if (in[static_cast<std::size_t>(i)] == 0) continue;
        const double v = in[static_cast<std::size_t>(i)];
        const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, i - radius), hi = std::min(n - 1, i + radius);
        for (std::ptrdiff_t j = lo; j <= hi; ++j)
            out[static_cast<std::size_t>(j)] += v * kernel[static_cast<std::size_t>(j - i + radius)];
    }
    return out;
}

// Vertical bands across the page, each a window of columns around its centre.
struct Bands {
    std::int32_t count = 0;
    double step = 0, window = 0;
    double centre(std::int32_t b) const { return (b + 0.5) * step; }
};

// The ink of each row within each band, specks left out.
std::vector<std::vector<double>> bandProfiles(const std::vector<Run>& runs, const std::vector<bool>& counted,
                                              const Bands& bands, std::int32_t height) {
    std::vector<std::vector<double>> profiles(static_cast<std::size_t>(bands.count),
                                              std::vector<double>(static_cast<std::size_t>(height), 0.0));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (!counted[i]) continue;
        const Run& r = runs[i];
        const auto first = std::max<std::int32_t>(
            0, static_cast<std::int32_t>(std::floor((r.x0 - bands.window / 2) / bands.step - 0.5)));
        const auto last = std::min<std::int32_t>(
            bands.count - 1, static_cast<std::int32_t>(std::ceil((r.x1 + bands.window / 2) / bands.step - 0.5)));
        for (std::int32_t b = first; b <= last; ++b) {
            const double lo = bands.centre(b) - bands.window / 2, hi = bands.centre(b) + bands.window / 2;
            const double overlap = std::min<double>(hi, r.x1) - std::max<double>(lo, r.x0);
            if (overlap > 0) profiles[static_cast<std::size_t>(b)][static_cast<std::size_t>(r.y)] += overlap;
        }
    }
    return profiles;
}

// The line spacing: the period P that the band profiles repeat best, by
// how much more a profile, its trend at that scale removed, agrees with
// itself P rows down than P/2 rows down. Narrow bands keep a slight skew from
// blurring it.
double estimateSpacing(const std::vector<std::vector<double>>& profiles, std::int32_t height, double fallback,
                       const Tuning& t) {
    // Rows binned in pairs on tall pages: half the work, resolution to spare.
    const std::size_t bin = height > t.binRowsAbove ? 2 : 1;
    const std::size_t n = static_cast<std::size_t>(height) / bin;
    std::vector<std::vector<double>> binned;
    for (const auto& raw : profiles) {
        std::vector<double> p(n, 0.0);
        for (std::size_t y = 0; y < n * bin; ++y) p[y / bin] += raw[y];
        // Smoothed at the scale of letters, so that strokes within a line do not count as repeats.
        binned.push_back(gaussianSmooth(p, std::max(1.0, fallback / (t.letterSigmaDivisor * static_cast<double>(bin)))));
    }
    // Lines are at least half as tall as the usual letter: capitals' top,
    // middle and bottom strokes would otherwise pass for lines of their own.
    const std::size_t minLag = std::max({std::size_t{4}, static_cast<std::size_t>(t.minSpacing) / bin,
                                         static_cast<std::size_t>(fallback / t.minSpacingDivisor) / bin}),
                      maxLag = n / t.minPeriods;
    double bestScore = 0;
    std::size_t best = 0;
    std::vector<double> score(maxLag + 1, 0.0);
    std::vector<double> prefix(n + 1), q(n);
    for (std::size_t lag = minLag; lag <= maxLag; ++lag) {
        double c0 = 0, cFull = 0, cHalf = 0;
        for (const auto& p : binned) {
            prefix[0] = 0;
            for (std::size_t y = 0; y < n; ++y) prefix[y + 1] = prefix[y] + p[y];
            for (std::size_t y = 0; y < n; ++y) {
                const std::size_t lo = y >= lag / 2 ? y - lag / 2 : 0, hi = std::min(n, lo + lag);
                q[y] = p[y] - (prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo);
            }
            for (std::size_t y = 0; y < n; ++y) {
                c0 += q[y] * q[y];
                if (y + lag < n) cFull += q[y] * q[y + lag];
                if (y + lag / 2 < n) cHalf += q[y] * q[y + lag / 2];
            }
        }
        if (c0 <= 0) continue;
        score[lag] = (cFull - cHalf) / c0;
        if (score[lag] > bestScore) { bestScore = score[lag]; best = lag; }
    }
    if (best == 0 || bestScore < t.minPeriodScore) return fallback;
    // A period repeats at its multiples: prefer a fraction of it that scores nearly as well.
    for (const std::size_t d : {3, 2}) {
        const std::size_t reach = best / (t.fractionReachDivisor * d);
        for (std::size_t lag = best / d - reach; lag <= best / d + reach && lag <= maxLag; ++lag)
            if (lag >= minLag && score[lag] >= t.fractionScoreShare * score[best]) {
                std::size_t top = lag;
                while (top + 1 <= maxLag && score[top + 1] > score[top]) ++top;
                return static_cast<double>(top * bin);
            }
    }
    return static_cast<double>(best * bin);
}

struct Peak {
    double y, value;
};

// Local maxima at least `minDistance` apart, each standing clear of its
// neighbours by a valley.
std::vector<Peak> findPeaks(const std::vector<double>& p, double minDistance, const Tuning& t) {
    std::vector<Peak> candidates;
    for (std::size_t y = 1; y + 1 < p.size(); ++y)
        if (p[y] > p[y - 1] && p[y] >= p[y + 1])
            candidates.push_back({static_cast<double>(y), p[y]});
    std::sort(candidates.begin(), candidates.end(), [](const Peak& a, const Peak& b) { return a.value > b.value; });
    std::vector<Peak> kept;
    for (const Peak& c : candidates) {
        bool clear = true;
        for (const Peak& k : kept) {
            if (std::abs(k.y - c.y) < minDistance) { clear = false; break; }
            // No valley between them: one line's ascenders or descenders.
            const auto lo = static_cast<std::size_t>(std::min(k.y, c.y)), hi = static_cast<std::size_t>(std::max(k.y, c.y));
            if (hi - lo < t.peakValleyReach * static_cast<std::size_t>(minDistance)) {
                const double valley = *std::min_element(p.begin() + static_cast<std::ptrdiff_t>(lo),
                                                        p.begin() + static_cast<std::ptrdiff_t>(hi));
                if (valley > t.peakValleyShare * c.value) { clear = false; break; }
            }
        }
        if (clear) kept.push_back(c);
    }
    std::sort(kept.begin(), kept.end(), [](const Peak& a, const Peak& b) { return a.y < b.y; });
    return kept;
}

// Shift of b's lines against a's that best lays one profile over the other.
double profileShift(const std::vector<double>& a, const std::vector<double>& b, std::int32_t maxShift) {
    double best = 0, bestScore = 0;
    const auto n = static_cast<std::int32_t>(a.size());
    for (std::int32_t s = -maxShift; s <= maxShift; ++s) {
        double score = 0;
        for (std::int32_t y = std::max(0, -s); y < n && y + s < n; ++y)
            score += a[static_cast<std::size_t>(y)] * b[static_cast<std::size_t>(y + s)];
        // Prefer the smaller shift on ties (blank bands).
        if (score > bestScore * (1 + 1e-9) || (score == bestScore && std::abs(s) < std::abs(best))) {
            bestScore = score;
            best = s;
        }
    }
    return best;
}

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

struct Track {
    std::vector<double> y;  // per band; NaN where no peak was linked
};

// Order-preserving matching of predicted track positions against a band's
// peaks; match[i] is the peak of prediction i, or -1.
std::vector<std::int32_t> alignPeaks(const std::vector<double>& predicted, const std::vector<Peak>& peaks,
                                     double spacing, const Tuning& t) {
    const std::size_t n = predicted.size(), m = peaks.size();
    const double scale = t.alignScale * spacing, reach = t.alignReach * spacing;
    std::vector<double> cost((n + 1) * (m + 1), 0.0);
    std::vector<std::uint8_t> move((n + 1) * (m + 1), 0);
    const auto at = [&](std::size_t i, std::size_t j) { return i * (m + 1) + j; };
    for (std::size_t i = 0; i <= n; ++i)
        for (std::size_t j = 0; j <= m; ++j) {
            if (i == 0 && j == 0) continue;
            double best = std::numeric_limits<double>::infinity();
            std::uint8_t how = 0;
            if (i > 0 && cost[at(i - 1, j)] + 1 < best) { best = cost[at(i - 1, j)] + 1; how = 1; }
            if (j > 0 && cost[at(i, j - 1)] + 1 < best) { best = cost[at(i, j - 1)] + 1; how = 2; }
            if (i > 0 && j > 0) {
                const double d = std::abs(predicted[i - 1] - peaks[j - 1].y);
                if (d < reach) {
                    const double c = cost[at(i - 1, j - 1)] + (d / scale) * (d / scale);
                    if (c < best) { best = c; how = 3; }
                }
            }
            cost[at(i, j)] = best;
            move[at(i, j)] = how;
        }
    std::vector<std::int32_t> match(n, -1);
    for (std::size_t i = n, j = m; i > 0 || j > 0;) {
        const auto how = move[at(i, j)];
        if (how == 3) match[--i] = static_cast<std::int32_t>(--j);
        else if (how == 1) --i;
        else --j;
    }
    return match;
}

// Links the bands' peaks into line tracks, from the band richest in lines
// outwards, following the shift between neighbouring bands.
std::vector<Track> linkTracks(const std::vector<std::vector<Peak>>& peaks, const std::vector<double>& drift,
                              double spacing, const Tuning& tuning) {
    const auto nb = static_cast<std::int32_t>(peaks.size());
    std::int32_t seed = 0;
    double richest = -1;
    for (std::int32_t b = 0; b < nb; ++b) {
        double sum = 0;
        for (const Peak& p : peaks[static_cast<std::size_t>(b)]) sum += p.value;
        if (sum > richest) { richest = sum; seed = b; }
    }
    std::vector<Track> tracks;
    const auto newTrack = [&](std::int32_t b, double y) {
        Track t;
        t.y.assign(static_cast<std::size_t>(nb), kNone);
        t.y[static_cast<std::size_t>(b)] = y;
        tracks.push_back(std::move(t));
    };
    for (const Peak& p : peaks[static_cast<std::size_t>(seed)]) newTrack(seed, p.y);
    for (const std::int32_t dir : {+1, -1}) {
        for (std::int32_t b = seed + dir; b >= 0 && b < nb; b += dir) {
            // Predict each track from its nearest observation on the side already walked.
            std::vector<std::pair<double, std::size_t>> predicted;
            for (std::size_t t = 0; t < tracks.size(); ++t) {
                for (std::int32_t o = b - dir; o >= 0 && o < nb; o -= dir) {
                    const double y = tracks[t].y[static_cast<std::size_t>(o)];
                    if (!std::isnan(y)) {
                        predicted.push_back({y + drift[static_cast<std::size_t>(b)] - drift[static_cast<std::size_t>(o)], t});
                        break;
                    }
                }
                // A track begun on the other side of the seed: its nearest observation there.
                if (predicted.empty() || predicted.back().second != t)
                    for (std::int32_t o = b; o >= 0 && o < nb; o += dir) {
                        const double y = tracks[t].y[static_cast<std::size_t>(o)];
                        if (!std::isnan(y)) {
                            predicted.push_back({y + drift[static_cast<std::size_t>(b)] - drift[static_cast<std::size_t>(o)], t});
                            break;
                        }
                    }
            }
            std::sort(predicted.begin(), predicted.end());
            std::vector<double> ys;
            for (const auto& p : predicted) ys.push_back(p.first);
            const auto& here = peaks[static_cast<std::size_t>(b)];
            const auto match = alignPeaks(ys, here, spacing, tuning);
            std::vector<bool> used(here.size(), false);
            for (std::size_t i = 0; i < match.size(); ++i)
                if (match[i] >= 0) {
                    tracks[predicted[i].second].y[static_cast<std::size_t>(b)] = here[static_cast<std::size_t>(match[i])].y;
                    used[static_cast<std::size_t>(match[i])] = true;
                }
            for (std::size_t j = 0; j < here.size(); ++j)
                if (!used[j]) newTrack(b, here[j].y);
        }
    }
    return tracks;
}

// A track's position in every band: its own peaks, between them the drift
// of the page plus a linear correction, beyond them the drift alone.
std::vector<double> fillTrack(const Track& t, const std::vector<double>& drift) {
    const auto nb = t.y.size();
    std::vector<double> y(nb);
    std::vector<std::size_t> seen;
    for (std::size_t b = 0; b < nb; ++b)
        if (!std::isnan(t.y[b])) seen.push_back(b);
    for (std::size_t b = 0; b < nb; ++b) {
        const auto after = std::lower_bound(seen.begin(), seen.end(), b);
        if (after != seen.end() && *after == b) {
            y[b] = t.y[b];
        } else if (after == seen.begin()) {
            y[b] = t.y[*after] + drift[b] - drift[*after];
        } else if (after == seen.end()) {
            y[b] = t.y[seen.back()] + drift[b] - drift[seen.back()];
        } else {
            const std::size_t b0 = *(after - 1), b1 = *after;
            const double r0 = t.y[b0] - drift[b0], r1 = t.y[b1] - drift[b1];
            const double f = static_cast<double>(b - b0) / static_cast<double>(b1 - b0);
            y[b] = drift[b] + r0 + (r1 - r0) * f;
        }
    }
    return y;
}

// Joins tracks that never meet in one band and run along the same line:
// one line whose linking broke at a gap.
void mergeBrokenTracks(std::vector<Track>& tracks, const std::vector<double>& drift, double reach) {
    for (bool merged = true; merged;) {
        merged = false;
        for (std::size_t i = 0; i < tracks.size() && !merged; ++i)
            for (std::size_t j = i + 1; j < tracks.size() && !merged; ++j) {
                const auto yi = fillTrack(tracks[i], drift), yj = fillTrack(tracks[j], drift);
                bool disjoint = true;
                double worst = 0;
                for (std::size_t b = 0; b < drift.size(); ++b) {
                    const bool si = !std::isnan(tracks[i].y[b]), sj = !std::isnan(tracks[j].y[b]);
                    if (si && sj) { disjoint = false; break; }
                    if (si || sj) worst = std::max(worst, std::abs(yi[b] - yj[b]));
                }
                if (disjoint && worst < reach) {
                    for (std::size_t b = 0; b < drift.size(); ++b)
                        if (std::isnan(tracks[i].y[b])) tracks[i].y[b] = tracks[j].y[b];
                    tracks.erase(tracks.begin() + static_cast<std::ptrdiff_t>(j));
                    merged = true;
                }
            }
    }
}

// The row between two line centres where the profile is lowest: the middle
// of the widest stretch close to the minimum.
double valley(const std::vector<double>& p, double upper, double lower, double nearShare) {
    const auto lo = static_cast<std::int32_t>(std::ceil(upper)), hi = static_cast<std::int32_t>(std::floor(lower));
    if (hi - lo < 2) return (upper + lower) / 2;
    double least = std::numeric_limits<double>::infinity(), most = 0;
    for (std::int32_t y = lo; y <= hi; ++y) {
        least = std::min(least, p[static_cast<std::size_t>(y)]);
        most = std::max(most, p[static_cast<std::size_t>(y)]);
    }
    const double near = least + nearShare * (most - least);
    std::int32_t bestStart = lo, bestLength = 0;
    for (std::int32_t y = lo; y <= hi;) {
        if (p[static_cast<std::size_t>(y)] > near) { ++y; continue; }
        const std::int32_t start = y;
        while (y <= hi && p[static_cast<std::size_t>(y)] <= near) ++y;
        if (y - start > bestLength) { bestLength = y - start; bestStart = start; }
    }
    return bestStart + (bestLength - 1) / 2.0 + 0.5;
}

// Values given at the band centres, linearly interpolated to every column:
// table[x * n + k].
std::vector<float> perColumn(const std::vector<std::vector<double>>& atBands, const Bands& bands,
                             std::int32_t width, std::size_t n) {
    std::vector<float> table(static_cast<std::size_t>(width) * n);
    for (std::int32_t x = 0; x < width; ++x) {
        const double f = (x + 0.5) / bands.step - 0.5;
        auto b0 = static_cast<std::int32_t>(std::floor(f));
        double t = f - b0;
        if (b0 < 0) { b0 = 0; t = 0; }
        if (b0 >= bands.count - 1) { b0 = bands.count - 1; t = 0; }
        const auto b1 = std::min(b0 + 1, bands.count - 1);
        float* out = table.data() + static_cast<std::size_t>(x) * n;
        for (std::size_t k = 0; k < n; ++k) {
            const double v = atBands[static_cast<std::size_t>(b0)][k] * (1 - t) + atBands[static_cast<std::size_t>(b1)][k] * t;
            out[k] = static_cast<float>(k > 0 ? std::max<double>(v, out[k - 1]) : v);
        }
    }
    return table;
}

// Up to four lines a component falls into, with its pixels in each and
// whether it reaches the line's centre band.
struct LineShare {
    std::array<std::int32_t, 4> line{};
    std::array<std::int64_t, 4> count{};
    std::array<bool, 4> core{};
    std::int32_t n = 0;
    void add(std::int32_t l, std::int64_t c, bool atCore) {
        for (std::int32_t i = 0; i < n; ++i)
            if (line[static_cast<std::size_t>(i)] == l) {
                count[static_cast<std::size_t>(i)] += c;
                core[static_cast<std::size_t>(i)] = core[static_cast<std::size_t>(i)] || atCore;
                return;
            }
        const std::size_t i = static_cast<std::size_t>(std::min(n, 3));
        if (n < 4) { line[i] = l; count[i] = 0; core[i] = false; ++n; }
        count[i] += c;
        core[i] = core[i] || atCore;
    }
};

// A piece of a line's ink: a run, or the part of a cut run on one side of a separator.
struct Piece {
    std::int32_t y, x0, x1;
    bool speck;
};

// Otsu's threshold of a set of values (between the two classes' split).
double otsu(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    if (n < 2) return v.empty() ? 0 : v[0];
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + v[i];
    double best = -1, threshold = v[n - 1];
    for (std::size_t k = 1; k < n; ++k) {
        if (v[k] == v[k - 1]) continue;
        const double w0 = static_cast<double>(k), w1 = static_cast<double>(n - k);
        const double m0 = prefix[k] / w0, m1 = (prefix[n] - prefix[k]) / w1;
        const double between = w0 * w1 * (m0 - m1) * (m0 - m1);
        if (between > best) { best = between; threshold = (v[k - 1] + v[k]) / 2; }
    }
    return threshold;
}

// Ink that is not writing, left out of every line: the page's edges and a
// scan's dark borders (long pieces touching the page's edge), ruled lines
// and frames (long strokes barely thicker than the pen).
std::vector<bool> notWriting(const std::vector<Component>& components, double pen, double usual, std::int32_t width,
                             std::int32_t height, const Tuning& t) {
    const std::int32_t margin = std::max(t.edgeMarginMin, std::min(width, height) / t.edgeMarginDivisor);
    std::vector<bool> out(components.size());
    for (std::size_t i = 0; i < components.size(); ++i) {
        const Component& c = components[i];
        const double length = std::max(c.width(), c.height());
        const bool atEdge = c.left < margin || c.top < margin || c.right >= width - margin || c.bottom >= height - margin;
        // Thinner than the writing is tall, and as long as many words.
        const bool straight = std::min(c.width(), c.height()) <= std::max(t.rulePens * pen, t.ruleHeightShare * usual);
        out[i] = (atEdge && length >= t.edgeLength * usual) || (straight && length >= t.ruleLength * usual);
    }
    return out;
}

// The page's ink as runs and components, and which of it counts as writing.
struct Ink {
    std::vector<Run> runs;
    std::vector<std::int32_t> componentOf;  // per run
    std::vector<Component> components;
    std::vector<bool> speck, notText;       // per component
    std::vector<bool> counted;              // per run: neither a speck nor not writing
    double usual = 0;                       // the writing's height
};

// Runs and components; the pen and the writing's height judge specks and
// what is not writing. No runs on a blank page.
Ink inkOf(const BilevelPage& page, const Tuning& t) {
    Ink ink;
    ink.runs = findRuns(page);
    if (ink.runs.empty()) return ink;
    const auto& runs = ink.runs;
    const auto& components = ink.components;
    ink.componentOf = connectRuns(runs, page.height, ink.components);

    // The pen: the median run length. Specks are blots smaller than a dot of it.
    std::vector<std::int32_t> lengths;
    lengths.reserve(runs.size());
    for (const Run& r : runs) lengths.push_back(r.x1 - r.x0);
    std::nth_element(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2), lengths.end());
    const double pen = std::max(1, lengths[lengths.size() / 2]);
    const double speckArea = std::max(t.speckMinArea, t.speckPenShare * pen * pen);
    ink.speck.resize(components.size());
    for (std::size_t c = 0; c < components.size(); ++c) ink.speck[c] = static_cast<double>(components[c].area) < speckArea;
    // The writing's usual height: the median height of what is not a speck.
    std::vector<std::int32_t> heights;
    for (std::size_t c = 0; c < components.size(); ++c)
        if (!ink.speck[c]) heights.push_back(components[c].height());
    if (heights.empty()) heights.push_back(page.height);
    std::nth_element(heights.begin(), heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2), heights.end());
    ink.usual = heights[heights.size() / 2];
    ink.notText = notWriting(components, pen, ink.usual, page.width, page.height, t);
    ink.counted.resize(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto c = static_cast<std::size_t>(ink.componentOf[i]);
        ink.counted[i] = !ink.speck[c] && !ink.notText[c];
    }
    return ink;
}

// Line spacing from narrow bands; its fallback from the writing's height.
double lineSpacing(const Ink& ink, const BilevelPage& page, const Tuning& t) {
    const double fallback = t.fallbackSpacing * ink.usual;
    Bands probe;
    probe.count = std::clamp(page.width / t.probeBandWidth, 1, t.probeBandsMax);
    probe.step = probe.window = static_cast<double>(page.width) / probe.count;
    return std::max(t.minSpacing,
                    estimateSpacing(bandProfiles(ink.runs, ink.counted, probe, page.height), page.height, fallback, t));
}

// The lines as tracks through bands a few line spacings wide.
struct LineTracks {
    Bands bands;
    std::vector<std::vector<double>> light;  // per band, lightly smoothed: where separators run
    std::vector<double> drift;               // per band: the lines' shift against the first band
    std::vector<Track> tracks;               // none on a page without lines
};

// Band profiles, their drift from band to band, and their peaks linked into tracks.
LineTracks trackLines(const Ink& ink, const BilevelPage& page, double spacing, const Tuning& t) {
    LineTracks out;
    // Bands a few line spacings wide, overlapping by half.
    Bands& bands = out.bands;
    bands.step = std::max(t.bandSpacings * spacing, page.width / t.maxBands);
    bands.count = std::max(1, static_cast<std::int32_t>(std::lround(page.width / bands.step)));
    bands.step = static_cast<double>(page.width) / bands.count;
    bands.window = t.bandWindowSteps * bands.step;
    const auto raw = bandProfiles(ink.runs, ink.counted, bands, page.height);
    std::vector<std::vector<double>> smooth;
    for (const auto& p : raw) {
        smooth.push_back(gaussianSmooth(p, t.smoothSigma * spacing));
        out.light.push_back(gaussianSmooth(p, t.lightSigma * spacing));
    }
    out.drift.assign(static_cast<std::size_t>(bands.count), 0.0);
    const auto maxShift = static_cast<std::int32_t>(std::ceil(t.maxDrift * spacing));
    for (std::size_t b = 1; b < out.drift.size(); ++b)
        out.drift[b] = out.drift[b - 1] + profileShift(smooth[b - 1], smooth[b], maxShift);

    // Peaks: all local maxima first, then those that stand out against the page's usual line.
    std::vector<std::vector<Peak>> peaks;
    std::vector<double> values;
    for (const auto& p : smooth) {
        peaks.push_back(findPeaks(p, t.peakDistance * spacing, t));
        for (const Peak& k : peaks.back()) values.push_back(k.value);
    }
    if (values.empty()) return out;
    const auto usualAt =
        std::min(values.size() - 1, static_cast<std::size_t>(static_cast<double>(values.size()) * t.peakFloorQuantile));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(usualAt), values.end());
    const double floor = t.peakFloorShare * values[usualAt];
    for (auto& list : peaks)
        list.erase(std::remove_if(list.begin(), list.end(), [&](const Peak& k) { return k.value < floor; }), list.end());

    out.tracks = linkTracks(peaks, out.drift, spacing, t);
    mergeBrokenTracks(out.tracks, out.drift, t.mergeReach * spacing);
    return out;
}

// The lines' centres and the separators between them, top to bottom, in every column.
struct LineMap {
    std::size_t nLines = 0;
    std::vector<float> separators;  // [x * nLines + k]; the last of each column is padding
    std::vector<float> centres;     // [x * nLines + l]

    std::int32_t lineAt(std::int32_t x, std::int32_t y) const {
        const float* s = separators.data() + static_cast<std::size_t>(x) * nLines;
        return static_cast<std::int32_t>(std::upper_bound(s, s + (nLines - 1), static_cast<float>(y) + 0.5f) - s);
    }
    float centre(std::int32_t x, std::int32_t l) const {
        return centres[static_cast<std::size_t>(x) * nLines + static_cast<std::size_t>(l)];
    }
};

// Per band, the tracks' centres sorted and a separator in the valley between
// each two; then interpolated to every column.
LineMap separateLines(const LineTracks& lt, std::int32_t width, const Tuning& t) {
    const std::size_t nLines = lt.tracks.size();
    const auto nb = static_cast<std::size_t>(lt.bands.count);
    std::vector<std::vector<double>> centres(nb), separators(nb);
    std::vector<std::vector<double>> filled;
    for (const Track& track : lt.tracks) filled.push_back(fillTrack(track, lt.drift));
    for (std::size_t b = 0; b < nb; ++b) {
        auto& c = centres[b];
        for (const auto& f : filled) c.push_back(f[b]);
        std::sort(c.begin(), c.end());
        for (std::size_t k = 0; k + 1 < nLines; ++k)
            separators[b].push_back(valley(lt.light[b], c[k], c[k + 1], t.valleyShare));
        separators[b].push_back(0);  // keeps the table's rows non-empty
    }
    LineMap map;
    map.nLines = nLines;
    map.separators = perColumn(separators, lt.bands, width, nLines);
    map.centres = perColumn(centres, lt.bands, width, nLines);
    return map;
}

constexpr std::int32_t kLeftOut = -2;  // a component in no line
constexpr std::int32_t kCut = -1;      // a component cut along the separators

// Each component whole to one line, cut along the separators, or left out:
// by its share of each line's strip and the line cores it reaches.
std::vector<std::int32_t> lineOfComponents(const Ink& ink, const LineMap& map, double spacing, const Tuning& t) {
    const double coreHalf = t.coreHalf * spacing;
    std::vector<LineShare> shares(ink.components.size());
    for (std::size_t i = 0; i < ink.runs.size(); ++i) {
        const Run& r = ink.runs[i];
        LineShare& s = shares[static_cast<std::size_t>(ink.componentOf[i])];
        const std::int32_t a = map.lineAt(r.x0, r.y), b = map.lineAt(r.x1 - 1, r.y);
        const auto core = [&](std::int32_t l, std::int32_t x) {
            return std::abs(static_cast<float>(r.y) - map.centre(x, l)) <= coreHalf;
        };
        if (a == b) {
            s.add(a, r.x1 - r.x0, core(a, r.x0) || core(a, r.x1 - 1));
        } else {
            for (std::int32_t x = r.x0; x < r.x1; ++x) {
                const std::int32_t l = map.lineAt(x, r.y);
                s.add(l, 1, core(l, x));
            }
        }
    }
    std::vector<std::int32_t> lineOf(ink.components.size());
    for (std::size_t c = 0; c < ink.components.size(); ++c) {
        const LineShare& s = shares[c];
        std::size_t best = 0;
        for (std::size_t i = 1; i < static_cast<std::size_t>(s.n); ++i)
            if (s.count[i] > s.count[best]) best = i;
        std::int32_t cores = 0;
        std::size_t coreLine = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(s.n); ++i)
            if (s.core[i]) { ++cores; coreLine = i; }
        if (ink.notText[c])
            lineOf[c] = kLeftOut;
        else if (ink.speck[c] ||
                 static_cast<double>(s.count[best]) >= t.wholeShare * static_cast<double>(ink.components[c].area) ||
                 cores == 0)
            lineOf[c] = s.line[best];
        else if (cores == 1)
            lineOf[c] = s.line[coreLine];
        else
            lineOf[c] = kCut;
    }
    return lineOf;
}

// Each line's ink: whole runs of the components it holds, and the parts of
// cut components' runs on its side of the separators.
std::vector<std::vector<Piece>> linePieces(const Ink& ink, const std::vector<std::int32_t>& lineOf, const LineMap& map) {
    std::vector<std::vector<Piece>> pieces(map.nLines);
    for (std::size_t i = 0; i < ink.runs.size(); ++i) {
        const Run& r = ink.runs[i];
        const auto c = static_cast<std::size_t>(ink.componentOf[i]);
        if (lineOf[c] == kLeftOut) continue;
        if (lineOf[c] >= 0) {
            pieces[static_cast<std::size_t>(lineOf[c])].push_back({r.y, r.x0, r.x1, ink.speck[c]});
            continue;
        }
        for (std::int32_t x = r.x0; x < r.x1;) {
            const std::int32_t l = map.lineAt(x, r.y);
            std::int32_t end = x + 1;
            while (end < r.x1 && map.lineAt(end, r.y) == l) ++end;
            pieces[static_cast<std::size_t>(l)].push_back({r.y, x, end, false});
            x = end;
        }
    }
    return pieces;
}

// Each line's ink, speck left out, projected along a slant onto the page's
// columns padded on both sides so that any slant tried stays inside.
struct Projector {
    const std::vector<std::vector<Piece>>* pieces = nullptr;
    std::vector<double> lineCentre;  // per line: the mean row of its ink
    std::int32_t pad = 0;
    std::vector<std::int64_t> histogram;

    std::int32_t column(std::size_t l, const Piece& p, std::int32_t x, double slant) const {
        return x + static_cast<std::int32_t>(std::lround(slant * (p.y - lineCentre[l]))) + pad;
    }
    void project(std::size_t l, double slant) {
        std::fill(histogram.begin(), histogram.end(), 0);
        for (const Piece& p : (*pieces)[l]) {
            if (p.speck) continue;
            histogram[static_cast<std::size_t>(column(l, p, p.x0, slant))] += 1;
            histogram[static_cast<std::size_t>(column(l, p, p.x1, slant))] -= 1;
        }
        std::int64_t run = 0;
        for (auto& h : histogram) h = run += h;
    }
};

Projector makeProjector(const std::vector<std::vector<Piece>>& pieces, std::int32_t width, const Tuning& t) {
    Projector pr;
    pr.pieces = &pieces;
    pr.lineCentre.assign(pieces.size(), 0.0);
    std::int32_t maxReach = 1;
    for (std::size_t l = 0; l < pieces.size(); ++l) {
        double sum = 0, n = 0;
        for (const Piece& p : pieces[l]) {
            sum += static_cast<double>(p.y) * (p.x1 - p.x0);
            n += p.x1 - p.x0;
        }
        pr.lineCentre[l] = n > 0 ? sum / n : 0;
        for (const Piece& p : pieces[l])
            maxReach = std::max(maxReach, static_cast<std::int32_t>(std::abs(p.y - pr.lineCentre[l])) + 1);
    }
    pr.pad = static_cast<std::int32_t>(std::ceil(t.maxSlant * maxReach)) + 1;
    pr.histogram.resize(static_cast<std::size_t>(width + 2 * pr.pad + 1));
    return pr;
}

// The slant of the page's writing: the one whose projections are sharpest,
// so that gaps between words show as empty columns.
double findSlant(Projector& pr, const Tuning& t) {
    double slant = 0, sharpest = -1;
    for (double s = t.minSlant; s <= t.maxSlant + 1e-9; s += t.slantStep) {
        double score = 0;
        for (std::size_t l = 0; l < pr.lineCentre.size(); ++l) {
            pr.project(l, s);
            for (const auto h : pr.histogram) score += static_cast<double>(h) * static_cast<double>(h);
        }
        if (score > sharpest) { sharpest = score; slant = s; }
    }
    return slant;
}

struct Gap {
    std::int32_t from, to;  // empty columns [from, to)
};

struct Gaps {
    std::vector<std::vector<Gap>> ofLine;
    double pageThreshold = 0;  // the width that parts words, over all lines
};

// Each line's gaps along the slant, and the page's threshold from all of them.
Gaps findGaps(Projector& pr, double slant, double wordFloor) {
    Gaps out;
    out.ofLine.resize(pr.lineCentre.size());
    std::vector<double> all;
    for (std::size_t l = 0; l < out.ofLine.size(); ++l) {
        pr.project(l, slant);
        std::int32_t last = -1;
        for (std::int32_t x = 0; x < static_cast<std::int32_t>(pr.histogram.size()); ++x) {
            if (pr.histogram[static_cast<std::size_t>(x)] == 0) continue;
            if (last >= 0 && x - last > 1) {
                out.ofLine[l].push_back({last + 1, x});
                all.push_back(std::log(static_cast<double>(x - last - 1)));
            }
            last = x;
        }
    }
    out.pageThreshold = std::max(wordFloor, all.size() >= 2 ? std::exp(otsu(all)) : wordFloor);
    return out;
}

// Labels each line with ink besides specks, and its words split at the gaps
// wider than the line's threshold, which the page's bounds.
void labelLinesAndWords(const std::vector<std::vector<Piece>>& pieces, const Projector& pr, double slant,
                        const Gaps& gaps, double wordFloor, const Tuning& t, Segmentation& out) {
    const auto width = static_cast<std::size_t>(out.lines.width());
    std::int32_t lineLabel = 0, wordLabel = 0;
    for (std::size_t l = 0; l < pieces.size(); ++l) {
        bool any = false;
        for (const Piece& p : pieces[l]) any = any || !p.speck;
        if (!any) continue;
        ++lineLabel;
        std::vector<double> own;
        for (const Gap& g : gaps.ofLine[l]) own.push_back(std::log(static_cast<double>(g.to - g.from)));
        double threshold = gaps.pageThreshold;
        if (own.size() >= t.minLineGaps)
            threshold = std::clamp(std::exp(otsu(own)), t.lineGapLow * gaps.pageThreshold,
                                   t.lineGapHigh * gaps.pageThreshold);
        threshold = std::max(threshold, wordFloor);
        // Word boundaries: the starts of the gaps kept, in slanted columns.
        std::vector<std::int32_t> cuts;
        for (const Gap& g : gaps.ofLine[l])
            if (g.to - g.from >= threshold) cuts.push_back(g.from);
        const auto first = wordLabel + 1;
        wordLabel += static_cast<std::int32_t>(cuts.size()) + 1;
        for (const Piece& p : pieces[l]) {
            // Specks are not writing: they go into no line.
            if (p.speck) continue;
            const auto mid = pr.column(l, p, (p.x0 + p.x1) / 2, slant);
            const auto word = first + static_cast<std::int32_t>(std::upper_bound(cuts.begin(), cuts.end(), mid) - cuts.begin());
            std::int32_t* lines = out.lines.data() + static_cast<std::size_t>(p.y) * width;
            std::int32_t* words = out.words.data() + static_cast<std::size_t>(p.y) * width;
            std::fill(lines + p.x0, lines + p.x1, lineLabel);
            std::fill(words + p.x0, words + p.x1, word);
        }
    }
    out.lineCount = lineLabel;
    out.wordCount = wordLabel;
}

}  // namespace

Segmentation segmentPage(const BilevelPage& page, const Tuning& tuning) {
    if (page.width <= 0 || page.height <= 0) throw std::invalid_argument("segmentPage: empty page");
    Segmentation out{LabelMap(page.width, page.height), LabelMap(page.width, page.height), 0, 0};
    std::fill_n(out.lines.data(), out.lines.pixelCount(), 0);
    std::fill_n(out.words.data(), out.words.pixelCount(), 0);

    const Ink ink = inkOf(page, tuning);
    if (ink.runs.empty()) return out;
    const double spacing = lineSpacing(ink, page, tuning);
    const LineTracks tracks = trackLines(ink, page, spacing, tuning);
    if (tracks.tracks.empty()) return out;
    const LineMap map = separateLines(tracks, page.width, tuning);
    const auto pieces = linePieces(ink, lineOfComponents(ink, map, spacing, tuning), map);

    Projector projector = makeProjector(pieces, page.width, tuning);
    const double slant = findSlant(projector, tuning);
    const double wordFloor = tuning.minWordGap * spacing;
    labelLinesAndWords(pieces, projector, slant, findGaps(projector, slant, wordFloor), wordFloor, tuning, out);
    return out;
}

}  // namespace corvanel::segment
