#include "run/report.h"

namespace corvanel {

namespace fs = std::filesystem;

std::string reportRow(const Rates& r, const Counts& c) {
    std::string row;
    for (const std::optional<double>& v : {r.DR, r.RA, r.FM}) row += fixed2(v.value_or(-1.0)) + "\t";
    for (std::int64_t v : {c.N, c.M, c.one2one}) row += std::to_string(v) + "\t";
    return row;
}

BatchReport::BatchReport(fs::path path, bool whole) : path_(std::move(path)) {
    if (whole) {
        whole_.emplace(path_);
        if (!whole_->openError().empty()) fail(FailureKind::ReportNotCreated);
    } else {
        // Binary mode: the report's lines end in CRLF on every platform.
        out_.open(path_, std::ios::binary | std::ios::trunc);
        if (!out_) fail(FailureKind::ReportNotCreated);
    }
    write(std::string(8, ' ') + " DR \t RA \t FM \t N \t M \to2o\r\n\r\n");
}

void BatchReport::fail(FailureKind kind) {
    if (!failure_) failure_ = Failure{kind, path_, {}, {}, {}, {}};
}

void BatchReport::write(const std::string& text) {
    if (failure_) return;
    if (!whole_) {
        if (!(out_ << text)) fail(FailureKind::ReportNotWritten);
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
    if (!failure_ && !whole_->write(pending_)) fail(FailureKind::ReportNotWritten);
    pending_.clear();
}

void BatchReport::addPage(const PageOutcome& page) {
    const bool row = page.evaluated && page.batchTicked;
    write(page.name + "\t" + (row ? reportRow(page.evaluation.rates, page.evaluation.counts) : std::string()) + "\r\n");
}

void BatchReport::finish() {
    if (whole_) {
        flushPending();
        if (!failure_ && whole_->commit()) fail(FailureKind::ReportNotWritten);
        whole_.reset();
    }
    if (out_.is_open()) {
        out_.close();
        if (!out_) fail(FailureKind::ReportNotWritten);
    }
}

}  // namespace corvanel
