#include "eval/evaluate.h"

#include "eval/overlap.h"

#include <new>

namespace corvanel {

namespace {

std::string sizeText(PageSize s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

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

// What the readers, ground truth first, would have said of two maps one of
// which is in trouble: the ground truth's problem when it has one (a
// negative label, a read that fails), else the result's. Each map is read
// again a slice at a time, never whole.
Failure firstOfTheReaders(const LabelMapFile& gt, const LabelMapFile* rs, Failure resultProblem) {
    if (auto problem = gt.firstProblem()) return *problem;
    if (rs)
        if (auto problem = rs->firstProblem()) return *problem;
    return resultProblem;
}

// Streams both files through the counter a slice at a time, so neither map
// is ever held whole: memory stays small and the pixels are counted while
// still in cache. A map in trouble is reported from what its reading
// found, in the order the readers would have found it.
PageEvaluation evaluateStreaming(const PageRequest& request) {
    auto gtOpened = LabelMapFile::open(request.gtMap, request.readHeader, request.size, MapKind::GroundTruth);
    if (auto* problem = std::get_if<Failure>(&gtOpened)) return failed(request.size, std::move(*problem));
    LabelMapFile& gt = std::get<LabelMapFile>(gtOpened);
    // The result is read at the size the ground truth's header gave.
    auto rsOpened = LabelMapFile::open(request.rsMap, request.readHeader, gt.size(), MapKind::Result);
    if (auto* problem = std::get_if<Failure>(&rsOpened))
        return failed(request.size, firstOfTheReaders(gt, nullptr, std::move(*problem)));
    LabelMapFile& rs = std::get<LabelMapFile>(rsOpened);
    if (gt.size() != rs.size())
        return failed(request.size, firstOfTheReaders(gt, &rs, sizeMismatch(request.pageName, gt.size(), rs.size())));

    OverlapCounter counter = request.diagnose ? OverlapCounter(gt.size().width) : OverlapCounter();
    std::optional<Failure> negative;
    std::size_t done = 0;
    std::optional<Failure> readProblem;
    try {
        readProblem = readInStep(gt, rs, [&](const std::int32_t* g, const std::int32_t* r, std::size_t n) {
            counter.add(g, r, n);
            if (counter.negativeLabel()) {
                // The ground truth's first negative label wins over the result's.
                negative = gt.negativeIn(g, n, done);
                if (!negative) negative = rs.negativeIn(r, n, done);
                return false;
            }
            done += n;
            return true;
        });
    } catch (const std::bad_alloc&) {
        return failed(request.size, outOfMemory());
    }
    if (readProblem || negative) {
        const Failure& found = readProblem ? *readProblem : *negative;
        if (found.side == MapKind::GroundTruth) return failed(request.size, found);
        return failed(request.size, firstOfTheReaders(gt, nullptr, found));
    }
    PageEvaluation out = score(counter, gt.size(), request.threshold, request.weights, request.diagnose, request.sweep);
    return out;
}

}  // namespace

PageEvaluation evaluateMaps(const LabelMap& gt, const LabelMap& rs, std::int32_t threshold,
                            const Weights& weights, bool diagnose, const std::vector<std::int32_t>& sweep) {
    if (std::string problem = thresholdProblem(threshold); !problem.empty())
        return failed(gt.size(), {FailureKind::Settings, {}, {}, {}, std::move(problem), {}});
    if (gt.size() != rs.size()) return failed(gt.size(), sizeMismatch({}, gt.size(), rs.size()));
    OverlapCounter counter = diagnose ? OverlapCounter(gt.width()) : OverlapCounter();
    try {
        counter.add(gt.data(), rs.data(), gt.pixelCount());
    } catch (const std::bad_alloc&) {
        return failed(gt.size(), outOfMemory());
    }
    if (counter.negativeLabel()) return failed(gt.size(), {FailureKind::NegativeLabel, {}, {}, {}, {}, {}});
    return score(counter, gt.size(), threshold, weights, diagnose, sweep);
}

PageEvaluation EvaluatePage(const PageRequest& request) {
    if (std::string problem = thresholdProblem(request.threshold); !problem.empty())
        return failed(request.size, {FailureKind::Settings, {}, {}, {}, std::move(problem), {}});
    if (!request.keepMaps) return evaluateStreaming(request);

    // The maps are wanted: read them whole, ground truth first, so the reader
    // that fails first is the one reported.
    PageSize size = request.size;
    ReadResult gt = ReadGT(request.gtMap, request.readHeader, size);
    if (!gt.ok()) return failed(size, gt.error());
    ReadResult rs = ReadRS(request.rsMap, request.readHeader, size);
    if (!rs.ok()) return failed(size, rs.error());
    if (gt.map().size() != rs.map().size())
        return failed(size, sizeMismatch(request.pageName, gt.map().size(), rs.map().size()));
    PageEvaluation out = evaluateMaps(gt.map(), rs.map(), request.threshold, request.weights, request.diagnose,
                                      request.sweep);
    out.size = size;
    if (out.success) {
        out.gtMap = std::make_shared<const LabelMap>(std::move(gt.map()));
        out.rsMap = std::make_shared<const LabelMap>(std::move(rs.map()));
    }
    return out;
}

}  // namespace corvanel
