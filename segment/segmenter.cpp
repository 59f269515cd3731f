#include "segment/segmenter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
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
// blurring it. The guess, from the writing's height, sets the scale of
// letters; the fallback stands where no period shows.
double estimateSpacing(const std::vector<std::vector<double>>& profiles, std::int32_t height, double guess,
                       double fallback, const Tuning& t) {
    // Rows binned in pairs on tall pages: half the work, resolution to spare.
    const std::size_t bin = height > t.binRowsAbove ? 2 : 1;
    const std::size_t n = static_cast<std::size_t>(height) / bin;
    std::vector<std::vector<double>> binned;
    for (const auto& raw : profiles) {
        std::vector<double> p(n, 0.0);
        for (std::size_t y = 0; y < n * bin; ++y) p[y / bin] += raw[y];
        // Smoothed at the scale of letters, so that strokes within a line do not count as repeats.
        binned.push_back(gaussianSmooth(p, std::max(1.0, guess / (t.letterSigmaDivisor * static_cast<double>(bin)))));
    }
    // Lines are at least half as tall as the usual letter: capitals' top,
    // middle and bottom strokes would otherwise pass for lines of their own.
    const std::size_t minLag = std::max({std::size_t{4}, static_cast<std::size_t>(t.minSpacing) / bin,
                                         static_cast<std::size_t>(guess / t.minSpacingDivisor) / bin}),
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

// A thin cross-section of a vertical stroke: its row and its centre.
struct Section {
    std::int32_t y;
    double x;
};

// Which sections lie on long vertical strokes: within a strip two widths
// wide, chains of sections a row after the other with gaps of at most
// `gap` rows, `length` long and covering `cover` of it. A rule or a page's
// edge is such a chain even where it is faint, frayed or touches the
// writing; no stroke of writing runs down that far.
std::vector<bool> onVerticalStrokes(const std::vector<Section>& sections, double width, double length,
                                    std::int32_t gap, double cover) {
    std::vector<bool> on(sections.size(), false);
    double most = 0;
    for (const Section& s : sections) most = std::max(most, s.x);
    // Sections come row by row, so each strip's are in order.
    std::vector<std::vector<std::int32_t>> strips(static_cast<std::size_t>(most / width) + 2);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const auto k = static_cast<std::size_t>(sections[i].x / width);
        strips[k].push_back(static_cast<std::int32_t>(i));
        if (k > 0) strips[k - 1].push_back(static_cast<std::int32_t>(i));
    }
    const auto rowOf = [&](std::int32_t i) { return sections[static_cast<std::size_t>(i)].y; };
    for (const auto& strip : strips)
        for (std::size_t first = 0; first < strip.size();) {
            std::size_t last = first;
            std::int32_t covered = 1;
            for (; last + 1 < strip.size() && rowOf(strip[last + 1]) - rowOf(strip[last]) <= gap; ++last)
                covered += rowOf(strip[last + 1]) > rowOf(strip[last]);
            const std::int32_t span = rowOf(strip[last]) - rowOf(strip[first]) + 1;
            if (span >= length && covered >= cover * span)
                for (std::size_t i = first; i <= last; ++i) on[static_cast<std::size_t>(strip[i])] = true;
            first = last + 1;
        }
    return on;
}

// The runs without the ink of long vertical strokes no thicker than `thin`:
// rules, frames, the page's edges, even where writing touches them. A row's
// runs less than `join` apart are one cross-section (a frayed edge), which
// counts only with `clear` pixels of paper on both sides: the writing
// beside a rule is left alone, and letters crowd their own strokes. The
// horizontal ones are left to the components' test: a line of cursive runs
// along its baseline as a rule would.
std::vector<Run> withoutVerticalStrokes(const std::vector<Run>& runs, double thin, double clear, double join,
                                        double length, std::int32_t gap, double cover) {
    std::vector<Section> sections;
    std::vector<std::pair<std::size_t, std::size_t>> sectionRuns;  // [first, last) of the runs it holds
    for (std::size_t i = 0; i < runs.size();) {
        std::size_t row = i;
        while (row < runs.size() && runs[row].y == runs[i].y) ++row;
        for (std::size_t a = i; a < row;) {
            std::size_t b = a + 1;
            while (b < row && runs[b].x0 - runs[b - 1].x1 < join) ++b;
            const std::int32_t from = runs[a].x0, to = runs[b - 1].x1;
            const bool clearBefore = a == i || from - runs[a - 1].x1 >= clear;
            const bool clearAfter = b == row || runs[b].x0 - to >= clear;
            if (to - from <= thin && clearBefore && clearAfter) {
                sections.push_back({runs[a].y, (from + to) / 2.0});
                sectionRuns.push_back({a, b});
            }
            a = b;
        }
        i = row;
    }
    const auto on = onVerticalStrokes(sections, thin, length, gap, cover);
    std::vector<bool> dropped(runs.size(), false);
    bool any = false;
    for (std::size_t k = 0; k < sections.size(); ++k)
        if (on[k]) {
            for (std::size_t i = sectionRuns[k].first; i < sectionRuns[k].second; ++i) dropped[i] = true;
            any = true;
        }
    if (!any) return runs;
    std::vector<Run> kept;
    kept.reserve(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (!dropped[i]) kept.push_back(runs[i]);
    return kept;
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
    auto& runs = ink.runs;
    const auto& components = ink.components;
    ink.componentOf = connectRuns(runs, page.height, ink.components);

    // The pen: the median run length. Specks are blots smaller than a dot of it.
    std::vector<std::int32_t> lengths;
    lengths.reserve(runs.size());
    for (const Run& r : runs) lengths.push_back(r.x1 - r.x0);
    std::nth_element(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2), lengths.end());
    const double pen = std::max(1, lengths[lengths.size() / 2]);
    const double speckArea = std::max(t.speckMinArea, t.speckPenShare * pen * pen);
    const auto findSpecks = [&] {
        ink.speck.assign(components.size(), false);
        for (std::size_t c = 0; c < components.size(); ++c)
            ink.speck[c] = static_cast<double>(components[c].area) < speckArea;
    };
    findSpecks();
    // The writing's usual height: the median height of what is not a speck.
    std::vector<std::int32_t> heights;
    for (std::size_t c = 0; c < components.size(); ++c)
        if (!ink.speck[c]) heights.push_back(components[c].height());
    if (heights.empty()) heights.push_back(page.height);
    std::nth_element(heights.begin(), heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2), heights.end());
    ink.usual = heights[heights.size() / 2];
    // Rules and edges go first, so that writing touching them is left whole.
    const double thin = std::max(t.rulePens * pen, t.ruleHeightShare * ink.usual);
    const std::size_t before = runs.size();
    runs = withoutVerticalStrokes(runs, thin, t.ruleClearance * ink.usual, pen, t.ruleLength * ink.usual,
                                  static_cast<std::int32_t>(std::lround(t.ruleGapPens * pen)), t.ruleCover);
    if (runs.empty()) return ink;
    if (runs.size() != before) {
        ink.componentOf = connectRuns(runs, page.height, ink.components);
        findSpecks();
    }
    ink.notText = notWriting(components, pen, ink.usual, page.width, page.height, t);
    ink.counted.resize(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto c = static_cast<std::size_t>(ink.componentOf[i]);
        ink.counted[i] = !ink.speck[c] && !ink.notText[c];
    }
    return ink;
}

// Line spacing from narrow bands, or the fallback where they show no period.
double lineSpacing(const Ink& ink, std::int32_t width, std::int32_t height, double fallback, const Tuning& t) {
    const double guess = t.fallbackSpacing * ink.usual;
    Bands probe;
    probe.count = std::clamp(width / t.probeBandWidth, 1, t.probeBandsMax);
    probe.step = probe.window = static_cast<double>(width) / probe.count;
    return std::max(t.minSpacing,
                    estimateSpacing(bandProfiles(ink.runs, ink.counted, probe, height), height, guess, fallback, t));
}

// A text area: a main column, a gloss beside it, a heading or a page number
// set apart; its lines are followed on their own.
struct Area {
    std::int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // [x0, x1) x [y0, y1)
    std::vector<std::int32_t> components;
    std::int64_t ink = 0;
};

// Where the spans [from, to) of a set of components leave gaps at least
// minGap wide: the groups between the gaps, in order.
std::vector<std::vector<std::int32_t>> splitAtGaps(const std::vector<std::int32_t>& parts,
                                                   const std::vector<std::pair<std::int32_t, std::int32_t>>& span,
                                                   double minGap) {
    std::vector<std::int32_t> order(parts);
    std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        return span[static_cast<std::size_t>(a)].first < span[static_cast<std::size_t>(b)].first;
    });
    std::vector<std::vector<std::int32_t>> groups(1);
    std::int32_t end = std::numeric_limits<std::int32_t>::min();
    for (const std::int32_t c : order) {
        const auto& [from, to] = span[static_cast<std::size_t>(c)];
        if (!groups.back().empty() && from - end >= minGap) groups.emplace_back();
        groups.back().push_back(c);
        end = std::max(end, to);
    }
    return groups;
}

// A block's components parted at the gaps between columns of writing:
// stretches of columns at least areaColumnGap line spacings wide where ink
// runs down at most areaGapShare of the block's height (a page number or a
// stray mark may lie in one), between columns where it runs further. Each
// cut runs down the emptiest column of its stretch; a component goes to the
// side of its centre.
std::vector<std::vector<std::int32_t>> columnGroups(const std::vector<std::int32_t>& block,
                                                    const std::vector<std::pair<std::int32_t, std::int32_t>>& rows,
                                                    const std::vector<std::pair<std::int32_t, std::int32_t>>& columns,
                                                    double spacing, const Tuning& t) {
    std::int32_t left = std::numeric_limits<std::int32_t>::max(), right = 0;
    std::int32_t top = std::numeric_limits<std::int32_t>::max(), bottom = 0;
    for (const std::int32_t c : block) {
        left = std::min(left, columns[static_cast<std::size_t>(c)].first);
        right = std::max(right, columns[static_cast<std::size_t>(c)].second);
        top = std::min(top, rows[static_cast<std::size_t>(c)].first);
        bottom = std::max(bottom, rows[static_cast<std::size_t>(c)].second);
    }
    // How far down each column's writing runs: the heights of the components over it.
    const auto w = static_cast<std::size_t>(right - left);
    std::vector<double> cover(w + 1, 0.0);
    for (const std::int32_t c : block) {
        const auto& [x0, x1] = columns[static_cast<std::size_t>(c)];
        const auto& [y0, y1] = rows[static_cast<std::size_t>(c)];
        cover[static_cast<std::size_t>(x0 - left)] += y1 - y0;
        cover[static_cast<std::size_t>(x1 - left)] -= y1 - y0;
    }
    for (std::size_t x = 1; x <= w; ++x) cover[x] += cover[x - 1];
    const double open = t.areaGapShare * (bottom - top);
    std::vector<double> cuts;
    for (std::size_t x = 0; x < w;) {
        if (cover[x] > open) { ++x; continue; }
        const std::size_t from = x;
        while (x < w && cover[x] <= open) ++x;
        // Stretches at the block's ends part nothing.
        if (from == 0 || x == w || static_cast<double>(x - from) < t.areaColumnGap * spacing) continue;
        // The middle of the emptiest stretch within.
        const double least = *std::min_element(cover.begin() + static_cast<std::ptrdiff_t>(from),
                                                cover.begin() + static_cast<std::ptrdiff_t>(x));
        std::size_t bestFrom = from, bestLength = 0;
        for (std::size_t y = from; y < x;) {
            if (cover[y] > least) { ++y; continue; }
            const std::size_t start = y;
            while (y < x && cover[y] <= least) ++y;
            if (y - start > bestLength) { bestLength = y - start; bestFrom = start; }
        }
        cuts.push_back(static_cast<double>(left) + static_cast<double>(bestFrom) + static_cast<double>(bestLength) / 2.0);
    }
    std::vector<std::vector<std::int32_t>> groups(cuts.size() + 1);
    for (const std::int32_t c : block) {
        const auto& [x0, x1] = columns[static_cast<std::size_t>(c)];
        groups[static_cast<std::size_t>(std::upper_bound(cuts.begin(), cuts.end(), (x0 + x1) / 2.0) - cuts.begin())]
            .push_back(c);
    }
    groups.erase(std::remove_if(groups.begin(), groups.end(), [](const auto& g) { return g.empty(); }), groups.end());
    return groups;
}

// The page's text areas, found before lines are followed: the writing cut
// recursively at white bands of rows taller than a line spacing and at
// gaps between columns (columnGroups). A gap beside a few lines of writing
// could be a word gap, so there only a white one much wider parts. Marks
// (dots, accents, commas) neither part nor join; each follows the area it
// lies in or nearest to. Areas with too little ink for a line hold none.
std::vector<Area> textAreas(const Ink& ink, double spacing, const Tuning& t) {
    const auto nc = ink.components.size();
    std::vector<std::pair<std::int32_t, std::int32_t>> rows(nc), columns(nc);
    std::vector<std::int32_t> shapes, marks;
    for (std::size_t c = 0; c < nc; ++c) {
        if (ink.speck[c] || ink.notText[c]) continue;
        const Component& k = ink.components[c];
        rows[c] = {k.top, k.bottom + 1};
        columns[c] = {k.left, k.right + 1};
        (std::max(k.width(), k.height()) < t.areaMarkHeights * ink.usual ? marks : shapes)
            .push_back(static_cast<std::int32_t>(c));
    }
    std::vector<Area> areas;
    if (shapes.empty()) std::swap(shapes, marks);  // a page of marks: one area
    // Blocks still to cut, in reading order: last in, first out.
    std::vector<std::vector<std::int32_t>> todo;
    if (!shapes.empty()) todo.push_back(std::move(shapes));
    while (!todo.empty()) {
        std::vector<std::int32_t> block = std::move(todo.back());
        todo.pop_back();
        auto groups = splitAtGaps(block, rows, t.areaRowGap * spacing);
        if (groups.size() == 1) {
            groups = columnGroups(block, rows, columns, spacing, t);
            // A narrower gap parts only two columns of several lines each:
            // writing that runs down that far, no white band between.
            const auto tall = [&](std::vector<std::int32_t> g) {
                std::sort(g.begin(), g.end(), [&](std::int32_t a, std::int32_t b) {
                    return rows[static_cast<std::size_t>(a)].first < rows[static_cast<std::size_t>(b)].first;
                });
                std::int32_t from = 0, to = std::numeric_limits<std::int32_t>::min() / 2, longest = 0;
                for (const std::int32_t c : g) {
                    const auto& [y0, y1] = rows[static_cast<std::size_t>(c)];
                    if (y0 - to >= t.areaRowGap * spacing) from = y0;
                    to = std::max(to, y1);
                    longest = std::max(longest, to - from);
                }
                return longest >= t.areaColumnLines * spacing;
            };
            const auto gapAfter = [&](const std::vector<std::int32_t>& left, const std::vector<std::int32_t>& right) {
                std::int32_t end = 0, start = std::numeric_limits<std::int32_t>::max();
                for (const std::int32_t c : left) end = std::max(end, columns[static_cast<std::size_t>(c)].second);
                for (const std::int32_t c : right) start = std::min(start, columns[static_cast<std::size_t>(c)].first);
                return start - end;
            };
            for (bool merged = true; merged && groups.size() > 1;) {
                merged = false;
                for (std::size_t g = 0; g + 1 < groups.size() && !merged; ++g) {
                    if (gapAfter(groups[g], groups[g + 1]) >= t.areaWordGap * spacing ||
                        (tall(groups[g]) && tall(groups[g + 1])))
                        continue;
                    groups[g].insert(groups[g].end(), groups[g + 1].begin(), groups[g + 1].end());
                    groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(g) + 1);
                    merged = true;
                }
            }
        }
        if (groups.size() == 1) {
            Area a;
            a.components = std::move(block);
            areas.push_back(std::move(a));
            continue;
        }
        for (auto g = groups.rbegin(); g != groups.rend(); ++g) todo.push_back(std::move(*g));
    }
    const auto bound = [&](Area& a, std::int32_t c) {
        const Component& k = ink.components[static_cast<std::size_t>(c)];
        a.x0 = std::min(a.x0, k.left);
        a.y0 = std::min(a.y0, k.top);
        a.x1 = std::max(a.x1, k.right + 1);
        a.y1 = std::max(a.y1, k.bottom + 1);
    };
    for (Area& a : areas) {
        a.x0 = a.y0 = std::numeric_limits<std::int32_t>::max();
        a.x1 = a.y1 = 0;
        for (const std::int32_t c : a.components) bound(a, c);
    }
    for (const std::int32_t c : marks) {
        const Component& k = ink.components[static_cast<std::size_t>(c)];
        const double x = (k.left + k.right + 1) / 2.0, y = (k.top + k.bottom + 1) / 2.0;
        std::size_t nearest = 0;
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < areas.size(); ++i) {
            const Area& a = areas[i];
            const double dx = std::max({a.x0 - x, 0.0, x - a.x1}), dy = std::max({a.y0 - y, 0.0, y - a.y1});
            if (dx * dx + dy * dy < best) { best = dx * dx + dy * dy; nearest = i; }
        }
        areas[nearest].components.push_back(c);
    }
    for (Area& a : areas) {
        for (const std::int32_t c : a.components) {
            bound(a, c);
            a.ink += ink.components[static_cast<std::size_t>(c)].area;
        }
        std::sort(a.components.begin(), a.components.end());
    }
    // Too little ink to be a line of writing beside the page's (its
    // largest area's ink a line spacing): scraps of a border, stains, dust.
    double lineInk = 0;
    for (const Area& a : areas)
        lineInk = std::max(lineInk, static_cast<double>(a.ink) / std::max(1.0, (a.y1 - a.y0) / spacing));
    areas.erase(std::remove_if(areas.begin(), areas.end(),
                               [&](const Area& a) { return static_cast<double>(a.ink) < t.areaMinInk * lineInk; }),
                areas.end());
    return areas;
}

// An area's writing as ink of its own, in the area's coordinates: its runs
// (each run index of the page's at runsOf[component]), all counted.
Ink areaInk(const Ink& ink, const Area& a, const std::vector<std::vector<std::int32_t>>& runsOf) {
    Ink own;
    own.usual = ink.usual;
    std::vector<std::int32_t> runs;
    for (std::size_t k = 0; k < a.components.size(); ++k) {
        const auto c = static_cast<std::size_t>(a.components[k]);
        Component box = ink.components[c];
        box.left -= a.x0; box.right -= a.x0; box.top -= a.y0; box.bottom -= a.y0;
        own.components.push_back(box);
        runs.insert(runs.end(), runsOf[c].begin(), runsOf[c].end());
    }
    std::sort(runs.begin(), runs.end());
    std::vector<std::int32_t> local(ink.components.size(), -1);
    for (std::size_t k = 0; k < a.components.size(); ++k)
        local[static_cast<std::size_t>(a.components[k])] = static_cast<std::int32_t>(k);
    for (const std::int32_t i : runs) {
        const Run& r = ink.runs[static_cast<std::size_t>(i)];
        own.runs.push_back({r.y - a.y0, r.x0 - a.x0, r.x1 - a.x0});
        own.componentOf.push_back(local[static_cast<std::size_t>(ink.componentOf[static_cast<std::size_t>(i)])]);
    }
    own.speck.assign(own.components.size(), false);
    own.notText.assign(own.components.size(), false);
    own.counted.assign(own.runs.size(), true);
    return own;
}

// The lines as tracks through bands a few line spacings wide.
struct LineTracks {
    Bands bands;
    std::vector<std::vector<double>> light;  // per band, lightly smoothed: where separators run
    std::vector<double> drift;               // per band: the lines' shift against the first band
    std::vector<Track> tracks;               // none on a page without lines
};

// Band profiles, their drift from band to band, and their peaks linked into tracks.
LineTracks trackLines(const Ink& ink, std::int32_t width, std::int32_t height, double spacing, const Tuning& t) {
    LineTracks out;
    // Bands a few line spacings wide, overlapping by half.
    Bands& bands = out.bands;
    bands.step = std::max(t.bandSpacings * spacing, width / t.maxBands);
    bands.count = std::max(1, static_cast<std::int32_t>(std::lround(width / bands.step)));
    bands.step = static_cast<double>(width) / bands.count;
    bands.window = t.bandWindowSteps * bands.step;
    const auto raw = bandProfiles(ink.runs, ink.counted, bands, height);
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

// Against over-segmentation: a line with little ink beside its area's full
// lines, whose middle lies nearer a neighbour's than the line spacing says
// lines lie and which runs over or under it, is a splinter of that
// neighbour (a capital's top, a flourish below), and joins it. A short line
// at the usual distance stays, and so does one beside the other.
void mergeSplinters(std::vector<std::vector<Piece>>& lines, double spacing, const Tuning& t) {
    const std::size_t n = lines.size();
    if (n < 2) return;
    // Each line's ink, its middle row, and the columns holding the most of it
    // (a stray accent of the next column does not widen it).
    std::vector<double> ink(n, 0.0), middle(n, 0.0), left(n, 0.0), right(n, 0.0);
    std::vector<std::pair<std::int32_t, std::int32_t>> columns;  // a piece's middle column, its ink
    for (std::size_t l = 0; l < n; ++l) {
        columns.clear();
        for (const Piece& p : lines[l])
            if (!p.speck) {
                ink[l] += p.x1 - p.x0;
                middle[l] += static_cast<double>(p.y) * (p.x1 - p.x0);
                columns.push_back({(p.x0 + p.x1) / 2, p.x1 - p.x0});
            }
        if (ink[l] == 0) continue;
        middle[l] /= ink[l];
        std::sort(columns.begin(), columns.end());
        double seen = 0;
        for (const auto& [x, w] : columns) {
            if (seen < t.splinterSpread * ink[l]) left[l] = x;
            seen += w;
            if (seen <= (1 - t.splinterSpread) * ink[l]) right[l] = x;
        }
    }
    const auto over = [&](std::size_t l, std::size_t k) {
        return 2 * (std::min(right[l], right[k]) - std::max(left[l], left[k])) >= right[l] - left[l];
    };
    std::vector<double> sorted(ink);
    const auto at = std::min(n - 1, static_cast<std::size_t>(static_cast<double>(n) * t.fullLineQuantile));
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at), sorted.end());
    const double light = t.splinterShare * sorted[at];
    // The lightest go first, into lines that keep their own ink.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ink[a] < ink[b]; });
    std::vector<bool> gone(n, false);
    for (const std::size_t l : order) {
        if (ink[l] == 0 || ink[l] >= light) continue;
        std::size_t nearest = n;
        double best = t.splinterReach * spacing;
        for (std::size_t k = 0; k < n; ++k)
            if (k != l && !gone[k] && ink[k] > ink[l] && over(l, k) && std::abs(middle[k] - middle[l]) < best) {
                best = std::abs(middle[k] - middle[l]);
                nearest = k;
            }
        if (nearest == n) continue;
        lines[nearest].insert(lines[nearest].end(), lines[l].begin(), lines[l].end());
        middle[nearest] = (middle[nearest] * ink[nearest] + middle[l] * ink[l]) / (ink[nearest] + ink[l]);
        ink[nearest] += ink[l];
        left[nearest] = std::min(left[nearest], left[l]);
        right[nearest] = std::max(right[nearest], right[l]);
        lines[l].clear();
        gone[l] = true;
    }
    lines.erase(std::remove_if(lines.begin(), lines.end(), [](const auto& line) { return line.empty(); }), lines.end());
}

// The lines of one area, as its ink's pieces in page coordinates. An area
// beside the main one (a gloss, often in a smaller hand) measures its own
// line spacing where it is tall enough to show one near the page's; the
// main one's is the page's.
std::vector<std::vector<Piece>> linesOfArea(const Ink& page, const Area& a, double pageSpacing, std::int64_t pageInk,
                                            const std::vector<std::vector<std::int32_t>>& runsOf, const Tuning& t) {
    const Ink ink = areaInk(page, a, runsOf);
    const std::int32_t width = a.x1 - a.x0, height = a.y1 - a.y0;
    double spacing = pageSpacing;
    if (height >= t.areaOwnSpacingLines * pageSpacing && 2 * a.ink < pageInk) {
        const double own = lineSpacing(ink, width, height, pageSpacing, t);
        if (own >= t.areaSpacingLow * pageSpacing && own <= t.areaSpacingHigh * pageSpacing) spacing = own;
    }
    const LineTracks tracks = trackLines(ink, width, height, spacing, t);
    if (tracks.tracks.empty()) return {};
    const LineMap map = separateLines(tracks, width, t);
    auto pieces = linePieces(ink, lineOfComponents(ink, map, spacing, t), map);
    mergeSplinters(pieces, spacing, t);
    for (auto& line : pieces)
        for (Piece& p : line) {
            p.y += a.y0;
            p.x0 += a.x0;
            p.x1 += a.x0;
        }
    return pieces;
}

// Lines with far less ink than the page's full lines, and no wider than a
// word or two, hold scraps, not writing: the edge of a facing page, what is
// left of a frame, dust.
void dropScraps(std::vector<std::vector<Piece>>& lines, double spacing, const Tuning& t) {
    std::vector<std::int64_t> inkOf;
    std::vector<std::int32_t> widthOf;
    for (const auto& line : lines) {
        std::int64_t n = 0;
        std::int32_t left = std::numeric_limits<std::int32_t>::max(), right = 0;
        for (const Piece& p : line)
            if (!p.speck) {
                n += p.x1 - p.x0;
                left = std::min(left, p.x0);
                right = std::max(right, p.x1);
            }
        inkOf.push_back(n);
        widthOf.push_back(right - left);
    }
    if (inkOf.empty()) return;
    std::vector<std::int64_t> sorted(inkOf);
    const auto at = std::min(sorted.size() - 1, static_cast<std::size_t>(static_cast<double>(sorted.size()) * t.fullLineQuantile));
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at), sorted.end());
    const double least = t.scrapShare * static_cast<double>(sorted[at]);
    std::size_t kept = 0;
    for (std::size_t l = 0; l < lines.size(); ++l)
        if (static_cast<double>(inkOf[l]) >= least || widthOf[l] > t.scrapSpacings * spacing) {
            if (kept != l) lines[kept] = std::move(lines[l]);
            ++kept;
        }
    lines.resize(kept);
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

// A line's x-height: the rows holding the middle half of its ink, as
// ascenders and descenders hold little.
double xHeight(const std::vector<Piece>& line) {
    std::vector<std::pair<std::int32_t, std::int32_t>> rows;  // a piece's row, its ink
    double ink = 0;
    for (const Piece& p : line)
        if (!p.speck) {
            rows.push_back({p.y, p.x1 - p.x0});
            ink += p.x1 - p.x0;
        }
    if (rows.empty()) return 0;
    std::sort(rows.begin(), rows.end());
    double seen = 0;
    std::int32_t low = rows.front().first, high = rows.back().first;
    for (const auto& [y, w] : rows) {
        if (seen < ink / 4) low = y;
        seen += w;
        if (seen <= ink * 3 / 4) high = y;
    }
    return static_cast<double>(high - low + 1);
}

// Labels each line with ink besides specks, and its words split at the gaps
// wider than the line's threshold: Otsu's on its own gaps, which the page's
// bounds, and no less than a share of its x-height, so that a cursive hand
// lifting the pen between letters is not cut at each lift.
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
        threshold = std::max({threshold, wordFloor, t.xHeightGap * xHeight(pieces[l])});
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
    const double spacing = lineSpacing(ink, page.width, page.height, tuning.fallbackSpacing * ink.usual, tuning);
    std::vector<Area> areas = textAreas(ink, spacing, tuning);
    // A page of one area is followed whole, as a page without areas.
    if (areas.size() == 1) areas[0].x0 = areas[0].y0 = 0, areas[0].x1 = page.width, areas[0].y1 = page.height;
    std::int64_t pageInk = 0;
    for (const Area& a : areas) pageInk += a.ink;
    std::vector<std::vector<std::int32_t>> runsOf(ink.components.size());
    for (std::size_t i = 0; i < ink.runs.size(); ++i)
        runsOf[static_cast<std::size_t>(ink.componentOf[i])].push_back(static_cast<std::int32_t>(i));
    std::vector<std::vector<Piece>> pieces;
    for (const Area& area : areas)
        for (auto& line : linesOfArea(ink, area, spacing, pageInk, runsOf, tuning)) pieces.push_back(std::move(line));
    dropScraps(pieces, spacing, tuning);
    if (pieces.empty()) return out;

    Projector projector = makeProjector(pieces, page.width, tuning);
    const double slant = findSlant(projector, tuning);
    const double wordFloor = tuning.minWordGap * spacing;
    labelLinesAndWords(pieces, projector, slant, findGaps(projector, slant, wordFloor), wordFloor, tuning, out);
    return out;
}

}  // namespace corvanel::segment
