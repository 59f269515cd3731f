#include "evaluate.h"

#include "overlap.h"

#include <new>

namespace corvanel {

namespace {

std::string sizeText(PageSize s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

}  // namespace

PageEvaluation evaluateMaps(const LabelMap& gt, const LabelMap& rs, std::int32_t threshold,
                            const Weights& weights, bool batch) {
    PageEvaluation out;
    out.size = gt.size();
    if (std::string problem = thresholdProblem(threshold); !problem.empty()) {
        out.messages.push_back(std::move(problem));
        return out;
    }
    try {
        const OverlapTable table = countOverlaps(gt, rs);
        Matching matching = matchRegions(table, threshold);
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

PageEvaluation EvaluatePage(const PageRequest& request) {
    PageEvaluation failed;
    failed.size = request.size;
    if (std::string problem = thresholdProblem(request.threshold); !problem.empty()) {
        failed.messages.push_back(std::move(problem));
        return failed;
    }
    const auto weights = parseWeights(request.weights);
    if (const auto* problem = std::get_if<std::string>(&weights)) {
        failed.messages.push_back(*problem);
        return failed;
    }

    PageSize gtSize = request.size;
    ReadResult gt = ReadGT(request.page, gtSize);
    failed.size = gtSize;
    if (!gt.ok()) {
        if (!gt.error().message.empty()) failed.messages.push_back(gt.error().message);
        return failed;
    }
    PageSize rsSize = gtSize;
    ReadResult rs = ReadRS(request.page, rsSize);
    failed.size = rsSize;
    if (!rs.ok()) {
        if (!rs.error().message.empty()) failed.messages.push_back(rs.error().message);
        return failed;
    }
    if (gt.map().size() != rs.map().size()) {
        const auto name = request.page.pagePath.filename().string();
        failed.messages.push_back("Label maps of different sizes for " + name + ": ground truth " +
                                  sizeText(gt.map().size()) + ", result " + sizeText(rs.map().size()) +
                                  "; the page was not evaluated");
        return failed;
    }
    PageEvaluation out = evaluateMaps(gt.map(), rs.map(), request.threshold, std::get<Weights>(weights),
                                      request.batch);
    out.size = rsSize;
    return out;
}

}  // namespace corvanel
