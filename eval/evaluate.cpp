#include "evaluate.h"

#include "overlap.h"

#include <new>

namespace corvanel {

namespace {

std::string sizeText(PageSize s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

PageEvaluation refused(PageSize size, std::string message) {
    PageEvaluation out;
    out.size = size;
    out.messages.push_back(std::move(message));
    out.details.emplace_back();
    return out;
}

PageEvaluation readFailure(PageSize size, const ReadError& error) {
    PageEvaluation out;
    out.size = size;
    if (!error.message.empty()) {
        out.messages.push_back(error.message);
        out.details.push_back(error.detail);
    }
    return out;
}

// Matching and scores from counted overlaps.
PageEvaluation score(const OverlapCounter& counter, PageSize size, std::int32_t threshold, const Weights& weights,
                     bool batch, bool diagnose, const std::vector<std::int32_t>& sweep) {
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
        out.fatal = true;
        out.messages.push_back("Memory Allocation Problem!");
        return out;
    }
    out.rates = pageRates(out.counts, weights);
    if (batch) out.reportRow = reportRow(out.rates, out.counts);
    out.success = true;
    return out;
}

// Streams both files through the counter a piece at a time, so neither map
// is ever held whole and memory stays small. Gives up (nullopt) at the
// first sign of trouble, which the caller then reports by reading the maps
// one after the other.
std::optional<PageEvaluation> evaluateStreaming(const PageRequest& request, const std::filesystem::path& gtPath,
                                                const std::filesystem::path& rsPath, const Weights& weights) {
    auto gtOpened = LabelMapFile::open(gtPath, request.page.readHeader, request.size);
    auto rsOpened = LabelMapFile::open(rsPath, request.page.readHeader, request.size);
    auto* gt = std::get_if<LabelMapFile>(&gtOpened);
    auto* rs = std::get_if<LabelMapFile>(&rsOpened);
    if (!gt || !rs || gt->size() != rs->size()) return std::nullopt;

    OverlapCounter counter = request.diagnose ? OverlapCounter(gt->size().width) : OverlapCounter();
    try {
        if (readInStep(*gt, *rs, [&](const std::int32_t* g, const std::int32_t* r, std::size_t n) { counter.add(g, r, n); }))
            return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (counter.negativeLabel()) return std::nullopt;
    return score(counter, gt->size(), request.threshold, weights, request.batch, request.diagnose, request.sweep);
}

}  // namespace

PageEvaluation evaluateMaps(const LabelMap& gt, const LabelMap& rs, std::int32_t threshold,
                            const Weights& weights, bool batch, bool diagnose,
                            const std::vector<std::int32_t>& sweep) {
    if (std::string problem = thresholdProblem(threshold); !problem.empty())
        return refused(gt.size(), std::move(problem));
    if (gt.size() != rs.size())
        return refused(gt.size(), "Label maps of different sizes: ground truth " + sizeText(gt.size()) +
                                      ", result " + sizeText(rs.size()));
    OverlapCounter counter = diagnose ? OverlapCounter(gt.width()) : OverlapCounter();
    try {
        counter.add(gt.data(), rs.data(), gt.pixelCount());
    } catch (const std::bad_alloc&) {
        PageEvaluation out = refused(gt.size(), "Memory Allocation Problem!");
        out.fatal = true;
        return out;
    }
    if (counter.negativeLabel())
        return refused(gt.size(), "A label map holds a negative label; the page was not evaluated");
    return score(counter, gt.size(), threshold, weights, batch, diagnose, sweep);
}

PageEvaluation EvaluatePage(const PageRequest& request) {
    if (std::string problem = thresholdProblem(request.threshold); !problem.empty())
        return refused(request.size, std::move(problem));
    const auto weights = parseWeights(request.weights);
    if (const auto* problem = std::get_if<std::string>(&weights)) return refused(request.size, *problem);

    const PageContext& page = request.page;
    const auto gtPath = mapPath(page, MapKind::GroundTruth);
    const auto rsPath = mapPath(page, MapKind::Result);
    if (!request.keepMaps)
        if (auto done = evaluateStreaming(request, gtPath, rsPath, std::get<Weights>(weights)))
            return std::move(*done);

    // The maps are wanted, or something is wrong with them: read them whole,
    // ground truth first, so the reader that fails first is the one reported.
    PageSize size = request.size;
    ReadResult gt = readLabelMap(gtPath, MapKind::GroundTruth, page.readHeader, size);
    if (!gt.ok()) return readFailure(size, gt.error());
    ReadResult rs = readLabelMap(rsPath, MapKind::Result, page.readHeader, size);
    if (!rs.ok()) return readFailure(size, rs.error());
    if (gt.map().size() != rs.map().size()) {
        return refused(size, "Label maps of different sizes for " + page.pagePath.filename().string() +
                                 ": ground truth " + sizeText(gt.map().size()) + ", result " +
                                 sizeText(rs.map().size()) + "; the page was not evaluated");
    }
    // Both read whole after all (the trouble has passed): evaluate them.
    PageEvaluation out = evaluateMaps(gt.map(), rs.map(), request.threshold, std::get<Weights>(weights),
                                      request.batch, request.diagnose, request.sweep);
    out.size = size;
    if (request.keepMaps && out.success) {
        out.gtMap = std::make_shared<const LabelMap>(std::move(gt.map()));
        out.rsMap = std::make_shared<const LabelMap>(std::move(rs.map()));
    }
    return out;
}

}  // namespace corvanel
