#include "python/results.h"

#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace corvanel::python {

namespace {

std::string weightsText(const Weights& w) {
    return "(" + std::to_string(w.w1) + ", " + std::to_string(w.w2) + ", " + std::to_string(w.w3) + ")";
}

// Each vector as its length, then its elements' bytes.
class Writer {
public:
    template <class T>
    void add(const std::vector<T>& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        const std::uint64_t n = v.size();
        bytes_.append(reinterpret_cast<const char*>(&n), sizeof n);
        bytes_.append(reinterpret_cast<const char*>(v.data()), n * sizeof(T));
    }
    std::string take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    template <class T>
    bool read(std::vector<T>& v) {
        std::uint64_t n = 0;
        if (bytes_.size() - at_ < sizeof n) return false;
        std::memcpy(&n, bytes_.data() + at_, sizeof n);
        at_ += sizeof n;
        if (n > (bytes_.size() - at_) / sizeof(T)) return false;
        v.resize(n);
        std::memcpy(v.data(), bytes_.data() + at_, n * sizeof(T));
        at_ += n * sizeof(T);
        return true;
    }
    bool done() const { return at_ == bytes_.size(); }

private:
    const std::string& bytes_;
    std::size_t at_ = 0;
};

}  // namespace

Totals Totals::pooledWith(const Totals& other) const {
    if (threshold != other.threshold)
        throw std::invalid_argument("results scored at thresholds " + std::to_string(threshold) + " and " +
                                    std::to_string(other.threshold) + " do not pool");
    if (weights.w1 != other.weights.w1 || weights.w2 != other.weights.w2 || weights.w3 != other.weights.w3)
        throw std::invalid_argument("results scored with weights " + weightsText(weights) + " and " +
                                    weightsText(other.weights) + " do not pool");
    Totals sum = *this;
    sum.counts += other.counts;
    sum.pages += other.pages;
    return sum;
}

PageResult PageResult::of(PageOutcome outcome, std::vector<std::string> messages) {
    PageResult r;
    r.counts = outcome.evaluation.counts;
    r.pages = 1;
    r.threshold = outcome.request.threshold;
    r.weights = outcome.request.weights;
    outcome.request = {};
    outcome.evaluation.gtMap.reset();
    outcome.evaluation.rsMap.reset();
    r.outcome = std::move(outcome);
    r.messages = std::move(messages);
    return r;
}

PageOutcome outcomeFromTable(OverlapTable table, std::int32_t threshold, const Weights& weights) {
    PageOutcome out;
    Matching matching = matchRegions(table, threshold);
    out.evaluated = true;
    out.evaluation.success = true;
    out.evaluation.counts = matching.counts;
    out.evaluation.rates = computeRates(matching.counts, weights);
    out.evaluation.diagnosis = std::make_shared<const PageDiagnosis>(std::move(table), matching, threshold);
    out.evaluation.detail = std::move(matching.detail);
    out.request.threshold = threshold;
    out.request.weights = weights;
    return out;
}

PageResult PageResult::atThreshold(std::int32_t T) const {
    PageOutcome again = outcomeFromTable(diagnosis()->table(), T, weights);
    again.name = outcome.name;
    again.gtIds = outcome.gtIds;
    again.rsIds = outcome.rsIds;
    again.evaluation.size = outcome.evaluation.size;
    return of(std::move(again), messages);
}

std::string tableBytes(const OverlapTable& t) {
    Writer w;
    w.add(t.gtLabels);
    w.add(t.rsLabels);
    w.add(t.pinakas2);
    w.add(t.BlackCounter);
    w.add(t.pinakas.rowStart);
    w.add(t.pinakas.pairGt);
    w.add(t.pinakas.pairRs);
    w.add(t.pinakas.pairShared);
    w.add(t.pinakas.colStart);
    w.add(t.pinakas.colPairs);
    w.add(t.gtBoxes);
    w.add(t.rsBoxes);
    return w.take();
}

std::optional<OverlapTable> tableFromBytes(const std::string& bytes) {
    OverlapTable t;
    Reader r(bytes);
    const bool read = r.read(t.gtLabels) && r.read(t.rsLabels) && r.read(t.pinakas2) && r.read(t.BlackCounter) &&
                      r.read(t.pinakas.rowStart) && r.read(t.pinakas.pairGt) && r.read(t.pinakas.pairRs) &&
                      r.read(t.pinakas.pairShared) && r.read(t.pinakas.colStart) && r.read(t.pinakas.colPairs) &&
                      r.read(t.gtBoxes) && r.read(t.rsBoxes) && r.done();
    if (!read) return std::nullopt;
    // The matching trusts the table's shape: check what it indexes by.
    const std::size_t N = t.gtLabels.size(), M = t.rsLabels.size(), pairs = t.pinakas.pairShared.size();
    const SparseOverlaps& o = t.pinakas;
    bool sound = t.pinakas2.size() == N && t.BlackCounter.size() == M && o.rowStart.size() == N + 1 &&
                 o.colStart.size() == M + 1 && o.pairGt.size() == pairs && o.pairRs.size() == pairs &&
                 o.colPairs.size() == pairs && (t.gtBoxes.size() == N || t.gtBoxes.empty()) &&
                 (t.rsBoxes.size() == M || t.rsBoxes.empty()) &&
                 o.rowStart.back() == pairs && o.colStart.back() == pairs;
    for (std::size_t k = 0; sound && k < pairs; ++k)
        sound = o.pairGt[k] >= 0 && static_cast<std::size_t>(o.pairGt[k]) < N && o.pairRs[k] >= 0 &&
                static_cast<std::size_t>(o.pairRs[k]) < M && o.colPairs[k] < pairs;
    for (std::size_t i = 0; sound && i < N; ++i) sound = o.rowStart[i] <= o.rowStart[i + 1];
    for (std::size_t j = 0; sound && j < M; ++j) sound = o.colStart[j] <= o.colStart[j + 1];
    if (!sound) return std::nullopt;
    return t;
}

}  // namespace corvanel::python
