#include "eval/evaluate.h"

#include "eval/overlap.h"

#include <algorithm>
#include <new>

namespace corvanel {

namespace {


PageEvaluation failed(PageSize size, Failure failure) {
    PageEvaluation out;
    out.size = size;
    out.fatal = failure.kind == FailureKind::Allocation;
    out.failures.push_back(std::move(failure));
    return out;
}

Failure outOfMemory() { return {FailureKind::Allocation, {}, {}, {}, {}, {}}; }

Failure sizeMismatch(const std::string& pageName, PageSize gt, PageSize rs) {
    return {FailureKind::SizeMismatch, pageName, {}, {}, "ground truth " + sizeText(gt) + ", result " + sizeText(rs), {}};
}

// Matching and scores from counted overlaps.
PageEvaluation score(OverlapCounter& counter, PageSize size, std::int32_t threshold, const Weights& weights,
                     bool diagnose, const std::vector<std::int32_t>& sweep) {
    PageEvaluation out;
    out.size = size;
    try {
        OverlapTable table = counter.finish();
        // Overlaps do not depend on the threshold: only the matching is repeated.
        for (std::int32_t T : sweep) out.sweep.push_back(matchRegions(table, T).counts);
        Matching matching = matchRegions(table, threshold);
        if (diagnose) out.diagnosis = std::make_shared<PageDiagnosis>(std::move(table), matching, threshold);
        out.counts = matching.counts;
        out.detail = std::move(matching.detail);
    } catch (const std::bad_alloc&) {
        return failed(size, outOfMemory());
    }
    out.rates = computeRates(out.counts, weights);
    out.success = true;
    return out;
}

// One side of a page: its file, read a slice at a time, or its map in memory.
struct Side {
    std::optional<LabelMapFile> file;
    const LabelMap* map = nullptr;
    PageSize size() const { return file ? file->size() : map->size(); }
};

// A side's map in memory, or its file opened at `size` unless its header says otherwise.
std::variant<Side, Failure> openSide(const std::filesystem::path& path, const LabelMap* loaded, bool readHeader,
                                     PageSize size, MapKind kind) {
    Side side;
    if (loaded) {
        side.map = loaded;
        return side;
    }
    auto opened = LabelMapFile::open(path, readHeader, size, kind);
    if (auto* problem = std::get_if<Failure>(&opened)) return std::move(*problem);
    side.file.emplace(std::get<LabelMapFile>(std::move(opened)));
    return side;
}

// What the readers, ground truth first, would have said of two maps one of
// which is in trouble: the ground truth's problem when it has one (a
// negative label, a read that fails), else the result's. Each file is read
// again a slice at a time, never whole.
Failure firstProblemOf(const Side& gt, const Side* rs, Failure otherwise) {
    if (gt.file)
        if (auto problem = gt.file->firstProblem()) return *problem;
    if (rs && rs->file)
        if (auto problem = rs->file->firstProblem()) return *problem;
    return otherwise;
}

constexpr std::size_t kSlice = std::size_t{1} << 16;

// Labels [done, done + n) of a side: in `buffer` when read from its file.
std::variant<const std::int32_t*, Failure> sliceOf(Side& side, std::int32_t* buffer, std::size_t done, std::size_t n) {
    if (side.map) return side.map->data() + done;
    if (auto error = side.file->read(buffer, n)) return std::move(*error);
    return buffer;
}

// The slice restricted to the pixels that count, in `buffer`.
const std::int32_t* restricted(const std::int32_t* labels, std::int32_t* buffer, const std::uint8_t* counted,
                               std::size_t n) {
    keepCounted(labels, counted, n, buffer);
    return buffer;
}

struct Sides {
    Side gt, rs;
    const std::uint8_t* counted = nullptr;
    std::size_t labels = 0;
};

// Both sides opened and checked against each other and the ink, or the
// failure to report.
std::variant<Sides, Failure> openSides(const PageRequest& request) {
    auto gtOpened = openSide(request.gtMap, request.gtLoaded.get(), request.readHeader,
                             request.rsLoaded ? request.rsLoaded->size() : request.size, MapKind::GroundTruth);
    if (auto* problem = std::get_if<Failure>(&gtOpened)) return std::move(*problem);
    const Side& gt = std::get<Side>(gtOpened);
    // The result is read at the size the ground truth's header gave.
    auto rsOpened = openSide(request.rsMap, request.rsLoaded.get(), request.readHeader, gt.size(), MapKind::Result);
    if (auto* problem = std::get_if<Failure>(&rsOpened)) return firstProblemOf(gt, nullptr, std::move(*problem));
    const Side& rs = std::get<Side>(rsOpened);
    const PageSize size = gt.size();
    if (size != rs.size()) return firstProblemOf(gt, &rs, sizeMismatch(request.pageName, size, rs.size()));
    const std::size_t labels = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
    if (request.countedPixels && request.countedPixels->size() != labels)
        return inkMismatch(request.pageName, size);
    return Sides{std::get<Side>(std::move(gtOpened)), std::get<Side>(std::move(rsOpened)),
                 request.countedPixels ? request.countedPixels->data() : nullptr, labels};
}

// Streams both sides through the counter a slice at a time, so no file is
// ever held whole: memory stays small and the pixels are counted while
// still in cache. A map in trouble is reported from what its reading
// found, in the order the readers would have found it.
PageEvaluation evaluateStreaming(const PageRequest& request) {
    auto opened = openSides(request);
    if (auto* problem = std::get_if<Failure>(&opened)) return failed(request.size, std::move(*problem));
    Sides& sides = std::get<Sides>(opened);
    Side &gt = sides.gt, &rs = sides.rs;
    const PageSize size = gt.size();
    const std::uint8_t* counted = sides.counted;
    const std::size_t labels = sides.labels;

    OverlapCounter counter = request.diagnose ? OverlapCounter(size.width) : OverlapCounter();
    thread_local std::vector<std::int32_t> gtBuffer(kSlice), rsBuffer(kSlice);
    try {
        for (std::size_t done = 0; done < labels; done += kSlice) {
            const std::size_t n = std::min(kSlice, labels - done);
            auto g = sliceOf(gt, gtBuffer.data(), done, n);
            if (auto* problem = std::get_if<Failure>(&g)) return failed(request.size, std::move(*problem));
            auto r = sliceOf(rs, rsBuffer.data(), done, n);
            if (auto* problem = std::get_if<Failure>(&r))
                return failed(request.size, firstProblemOf(gt, nullptr, std::move(*problem)));
            const std::int32_t* gs = std::get<const std::int32_t*>(g);
            const std::int32_t* rsl = std::get<const std::int32_t*>(r);
            // The ground truth's first negative label wins over the result's.
            const auto negativeHere = [&]() -> std::optional<Failure> {
                std::optional<Failure> negative;
                if (gt.file) negative = gt.file->negativeIn(gs, n, done);
                if (!negative && rs.file) negative = rs.file->negativeIn(rsl, n, done);
                return negative;
            };
            const auto refuse = [&](Failure negative) {
                if (negative.side == MapKind::GroundTruth) return failed(request.size, std::move(negative));
                return failed(request.size, firstProblemOf(gt, nullptr, std::move(negative)));
            };
            if (counted) {
                // Looked for before the ink can hide them.
                if (auto negative = negativeHere()) return refuse(std::move(*negative));
                gs = restricted(gs, gtBuffer.data(), counted + done, n);
                rsl = restricted(rsl, rsBuffer.data(), counted + done, n);
            }
            counter.add(gs, rsl, n);
            if (counter.negativeLabel())
                return refuse(negativeHere().value_or(Failure{FailureKind::NegativeLabel, {}, {}, {}, {}, {}}));
        }
    } catch (const std::bad_alloc&) {
        return failed(request.size, outOfMemory());
    }
    return score(counter, size, request.threshold, request.weights, request.diagnose, request.sweep);
}

std::shared_ptr<const LabelMap> restrictedMap(const LabelMap& map, const std::vector<std::uint8_t>& counted) {
    auto out = std::make_shared<LabelMap>(map.width(), map.height());
    restricted(map.data(), out->data(), counted.data(), map.pixelCount());
    return out;
}

}  // namespace

void keepCounted(const std::int32_t* labels, const std::uint8_t* counted, std::size_t count, std::int32_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = counted[i] ? labels[i] : 0;
}

Failure inkMismatch(const std::string& pageName, PageSize maps) {
    return {FailureKind::SizeMismatch, pageName, {}, {}, "the page's ink does not cover the maps' " + sizeText(maps), {}};
}

std::optional<Failure> readPagePixels(const PageRequest& request, const PairSink& sink) {
    auto opened = openSides(request);
    if (auto* problem = std::get_if<Failure>(&opened)) return std::move(*problem);
    Sides& sides = std::get<Sides>(opened);
    thread_local std::vector<std::int32_t> gtBuffer(kSlice), rsBuffer(kSlice);
    for (std::size_t done = 0; done < sides.labels; done += kSlice) {
        const std::size_t n = std::min(kSlice, sides.labels - done);
        auto g = sliceOf(sides.gt, gtBuffer.data(), done, n);
        if (auto* problem = std::get_if<Failure>(&g)) return std::move(*problem);
        auto r = sliceOf(sides.rs, rsBuffer.data(), done, n);
        if (auto* problem = std::get_if<Failure>(&r)) return std::move(*problem);
        const std::int32_t* gs = std::get<const std::int32_t*>(g);
        const std::int32_t* rsl = std::get<const std::int32_t*>(r);
        if (sides.counted) {
            gs = restricted(gs, gtBuffer.data(), sides.counted + done, n);
            rsl = restricted(rsl, rsBuffer.data(), sides.counted + done, n);
        }
        if (!sink(gs, rsl, n)) break;
    }
    return std::nullopt;
}

namespace {

// The refusal of labels in memory for their first negative label.
Failure negativeIn(const std::int32_t* labels, std::size_t count, PageSize size, MapKind side) {
    const std::int32_t* at = std::find_if(labels, labels + count, [](std::int32_t v) { return v < 0; });
    const auto i = static_cast<std::size_t>(at - labels), w = static_cast<std::size_t>(std::max(size.width, 1));
    return {FailureKind::NegativeLabel, {}, side, {}, {},
            std::string(sideName(side)) + " label " + std::to_string(*at) + " at x=" + std::to_string(i % w) +
                ", y=" + std::to_string(i / w)};
}

}  // namespace

PageEvaluation evaluateLabels(const std::int32_t* gt, const std::int32_t* rs, PageSize size,
                              const std::uint8_t* counted, std::int32_t threshold, const Weights& weights,
                              bool diagnose, const std::vector<std::int32_t>& sweep, bool boxes) {
    if (std::string problem = thresholdProblem(threshold); !problem.empty())
        return failed(size, {FailureKind::Settings, {}, {}, {}, std::move(problem), {}});
    const std::size_t labels = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
    const auto refuse = [&] {
        const bool gtNegative = std::any_of(gt, gt + labels, [](std::int32_t v) { return v < 0; });
        return failed(size, gtNegative ? negativeIn(gt, labels, size, MapKind::GroundTruth)
                                       : negativeIn(rs, labels, size, MapKind::Result));
    };
    OverlapCounter counter = diagnose && boxes ? OverlapCounter(size.width) : OverlapCounter();
    try {
        if (!counted) {
            counter.add(gt, rs, labels);
        } else {
            thread_local std::vector<std::int32_t> gtBuffer(kSlice), rsBuffer(kSlice);
            for (std::size_t done = 0; done < labels; done += kSlice) {
                const std::size_t n = std::min(kSlice, labels - done);
                // Looked for before the ink can hide them.
                if (std::any_of(gt + done, gt + done + n, [](std::int32_t v) { return v < 0; }) ||
                    std::any_of(rs + done, rs + done + n, [](std::int32_t v) { return v < 0; }))
                    return refuse();
                counter.add(restricted(gt + done, gtBuffer.data(), counted + done, n),
                            restricted(rs + done, rsBuffer.data(), counted + done, n), n);
            }
        }
    } catch (const std::bad_alloc&) {
        return failed(size, outOfMemory());
    }
    if (counter.negativeLabel()) return refuse();
    return score(counter, size, threshold, weights, diagnose, sweep);
}

PageEvaluation evaluateMaps(const LabelMap& gt, const LabelMap& rs, std::int32_t threshold,
                            const Weights& weights, bool diagnose, const std::vector<std::int32_t>& sweep) {
    if (std::string problem = thresholdProblem(threshold); !problem.empty())
        return failed(gt.size(), {FailureKind::Settings, {}, {}, {}, std::move(problem), {}});
    if (gt.size() != rs.size()) return failed(gt.size(), sizeMismatch({}, gt.size(), rs.size()));
    PageEvaluation out = evaluateLabels(gt.data(), rs.data(), gt.size(), nullptr, threshold, weights, diagnose, sweep);
    // Maps read whole keep the engine's word for a negative label.
    if (!out.success && !out.failures.empty() && out.failures[0].kind == FailureKind::NegativeLabel)
        return failed(gt.size(), {FailureKind::NegativeLabel, {}, {}, {}, {}, {}});
    return out;
}

PageEvaluation EvaluatePage(const PageRequest& request) {
    if (std::string problem = thresholdProblem(request.threshold); !problem.empty())
        return failed(request.size, {FailureKind::Settings, {}, {}, {}, std::move(problem), {}});
    if (!request.keepMaps) return evaluateStreaming(request);

    // The maps are wanted: read them whole, ground truth first, so the reader
    // that fails first is the one reported.
    PageSize size = request.gtLoaded ? request.gtLoaded->size() : request.rsLoaded ? request.rsLoaded->size() : request.size;
    const auto whole = [&](const std::shared_ptr<const LabelMap>& loaded, const std::filesystem::path& path,
                           MapKind kind) -> std::variant<std::shared_ptr<const LabelMap>, Failure> {
        if (loaded) return loaded;
        ReadResult read = readLabelMap(path, kind, request.readHeader, size);
        if (!read.ok()) return read.error();
        return std::make_shared<const LabelMap>(std::move(read.map()));
    };
    auto gt = whole(request.gtLoaded, request.gtMap, MapKind::GroundTruth);
    if (auto* problem = std::get_if<Failure>(&gt)) return failed(size, std::move(*problem));
    auto rs = whole(request.rsLoaded, request.rsMap, MapKind::Result);
    if (auto* problem = std::get_if<Failure>(&rs)) return failed(size, std::move(*problem));
    auto gtMap = std::get<0>(std::move(gt)), rsMap = std::get<0>(std::move(rs));
    if (gtMap->size() != rsMap->size())
        return failed(size, sizeMismatch(request.pageName, gtMap->size(), rsMap->size()));
    if (request.countedPixels) {
        // The maps handed back are the ones counted.
        if (request.countedPixels->size() != gtMap->pixelCount())
            return failed(size, inkMismatch(request.pageName, gtMap->size()));
        try {
            gtMap = restrictedMap(*gtMap, *request.countedPixels);
            rsMap = restrictedMap(*rsMap, *request.countedPixels);
        } catch (const std::bad_alloc&) {
            return failed(size, outOfMemory());
        }
    }
    PageEvaluation out = evaluateMaps(*gtMap, *rsMap, request.threshold, request.weights, request.diagnose,
                                      request.sweep);
    out.size = size;
    if (out.success) {
        out.gtMap = std::move(gtMap);
        out.rsMap = std::move(rsMap);
    }
    return out;
}

}  // namespace corvanel
