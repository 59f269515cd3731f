#include "batch.h"

#include <algorithm>
#include <cctype>

namespace corvanel {

namespace fs = std::filesystem;

namespace {

bool lessCaseInsensitive(const std::string& a, const std::string& b) {
    const auto lower = [](unsigned char c) { return std::tolower(c); };
    const bool less = std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
    const bool greater = std::lexicographical_compare(
        b.begin(), b.end(), a.begin(), a.end(),
        [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
    return less || (!greater && a < b);
}

}  // namespace

std::vector<std::string> listPages(const fs::path& imagesDir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(imagesDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (name.empty() || name.front() == '.' || !it->is_regular_file(typeError)) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), lessCaseInsensitive);
    return names;
}

std::string printableName(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = byte(i);
        // The length of a well-formed sequence starting here, or 0.
        std::size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        if (n > 1) {
            if (i + n > s.size()) n = 0;
            for (std::size_t k = 1; n && k < n; ++k)
                if ((byte(i + k) & 0xC0) != 0x80) n = 0;
            // No overlong forms, surrogates or code points beyond U+10FFFF.
            if (n == 3 && ((c == 0xE0 && byte(i + 1) < 0xA0) || (c == 0xED && byte(i + 1) >= 0xA0))) n = 0;
            if (n == 4 && ((c == 0xF0 && byte(i + 1) < 0x90) || (c == 0xF4 && byte(i + 1) >= 0x90))) n = 0;
        }
        if (n == 0) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

fs::path pagePath(const fs::path& workspace, const std::string& name) { return workspace / "images" / name; }

fs::path reportPath(const fs::path& workspace) { return workspace / "Results.txt"; }

PageEvaluation evaluateSinglePage(const RunSettings& s, const fs::path& currentPage, PageSize size) {
    PageRequest request;
    request.page = {s.workspace, currentPage, s.level, s.readHeader, s.gtRoot, s.resultsRoot};
    request.size = size;
    request.threshold = s.threshold;
    request.weights = s.weights;
    request.batch = false;
    request.diagnose = s.diagnose;
    request.keepMaps = s.keepMaps;
    request.sweep = s.sweep;
    return EvaluatePage(request);
}

PageOutcome evaluateBatchPage(const RunSettings& s, const std::string& name, Level level, bool batchTicked,
                              const ImageSizeReader& imageSize) {
    PageOutcome out;
    out.name = name;
    const fs::path path = pagePath(s.workspace, name);
    const std::optional<PageSize> size = imageSize(path);
    if (!size) {
        // No page size of another image may stand in for this one.
        out.messages.push_back("Cannot read the page image " + name + "; the page was not evaluated");
        return out;
    }
    PageRequest request;
    request.page = {s.workspace, path, level, s.readHeader, s.gtRoot, s.resultsRoot};
    request.size = *size;
    request.threshold = s.threshold;
    request.weights = s.weights;
    request.batch = batchTicked;
    request.diagnose = s.diagnose;
    request.keepMaps = s.keepMaps;
    request.sweep = s.sweep;
    out.evaluation = EvaluatePage(request);
    out.messages = out.evaluation.messages;
    out.evaluated = out.evaluation.success;
    return out;
}

BatchReport::BatchReport(fs::path path, bool whole) : path_(std::move(path)) {
    if (whole) {
        whole_.emplace(path_);
        if (!whole_->openError().empty()) problem_ = "Cannot create the report " + path_.string();
    } else {
        // Binary mode: the report's lines end in CRLF on every platform.
        out_.open(path_, std::ios::binary | std::ios::trunc);
        if (!out_) problem_ = "Cannot create the report " + path_.string();
    }
    write(std::string(8, ' ') + " DR \t RA \t FM \t N \t M \to2o\r\n\r\n");
}

void BatchReport::write(const std::string& text) {
    if (!problem_.empty()) return;
    if (!whole_) {
        if (!(out_ << text)) problem_ = "Cannot write the report " + path_.string();
        return;
    }
    // Nobody sees a report that is renamed into place before it is whole: a
    // write a page would only cost a system call a page. A pipe or device
    // gets each line as it comes.
    pending_ += text;
    if (whole_->inPlace()) flushPending();
    if (pending_.size() >= kPendingBytes) flushPending();
}

void BatchReport::flushPending() {
    if (problem_.empty() && !whole_->write(pending_)) problem_ = "Cannot write the report " + path_.string();
    pending_.clear();
}

void BatchReport::addPage(const PageOutcome& page) {
    write(page.name + "\t" + (page.evaluated ? page.evaluation.reportRow : std::string()) + "\r\n");
    if (page.evaluation.fatal) result_.fatal = true;
    if (!page.evaluated) return;
    result_.sums += page.evaluation.counts;
    ++result_.evaluatedPages;
}

BatchResult BatchReport::finish(const Weights& weights) {
    if (whole_) flushPending();
    if (whole_ && problem_.empty() && whole_->commit()) problem_ = "Cannot write the report " + path_.string();
    whole_.reset();
    if (out_.is_open()) {
        out_.close();
        if (!out_ && problem_.empty()) problem_ = "Cannot write the report " + path_.string();
    }
    result_.rates = batchRates(result_.sums, weights);
    return result_;
}

std::string runProblem(const RunSettings& settings) {
    if (std::string problem = thresholdProblem(settings.threshold); !problem.empty()) return problem;
    const auto weights = parseWeights(settings.weights);
    if (const auto* problem = std::get_if<std::string>(&weights)) return *problem;
    return {};
}

std::optional<BatchResult> runBatch(const RunSettings& settings, const fs::path& report,
                                    const ImageSizeReader& imageSize, const BatchHooks& hooks,
                                    const std::function<void(const std::string&)>& message) {
    if (std::string problem = runProblem(settings); !problem.empty()) {
        message(problem);
        return std::nullopt;
    }
    BatchReport out(report);
    if (!out.problem().empty()) message(out.problem());
    for (std::size_t i = 0; i < hooks.pageCount(); ++i) {
        const std::string name = hooks.selectPage(i);
        const PageOutcome page = evaluateBatchPage(settings, name, hooks.level(), hooks.batchTicked(), imageSize);
        for (const std::string& text : page.messages) message(text);
        out.addPage(page);
        if (page.evaluation.fatal) break;
        if (hooks.afterPage) hooks.afterPage(page, out.evaluatedPages());
    }
    const bool reportWasFine = out.problem().empty();
    BatchResult result = out.finish(std::get<Weights>(parseWeights(settings.weights)));
    if (reportWasFine && !out.problem().empty()) message(out.problem());
    return result;
}

}  // namespace corvanel
