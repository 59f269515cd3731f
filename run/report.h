#pragma once

// Results.txt: the report of a batch, written as the pages come in list
// order: the header line, an empty line, then per page its name, a TAB, the
// report row when the page was evaluated with "Batch" ticked, and CRLF.

#include "eval/failure.h"
#include "eval/scores.h"
#include "run/files.h"
#include "run/results.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace corvanel {

// DR, RA, FM "%.2f" (-1.00 when undefined) and N, M, one2one "%d", each
// followed by a TAB.
std::string reportRow(const Rates& rates, const Counts& counts);

class BatchReport {
public:
    // With `whole`, the report appears only once complete (see ReplacingFile)
    // instead of growing page by page.
    explicit BatchReport(std::filesystem::path path, bool whole = false);
    BatchReport(const BatchReport&) = delete;
    BatchReport& operator=(const BatchReport&) = delete;

    // Why the report could not be created or written; none while all goes well.
    const std::optional<Failure>& failure() const { return failure_; }

    void addPage(const PageOutcome& page);
    // Closes the report (puts it in place, when written whole).
    void finish();

private:
    void write(const std::string& text);
    void flushPending();
    void fail(FailureKind kind);

    static constexpr std::size_t kPendingBytes = 64 * 1024;
    std::filesystem::path path_;
    std::ofstream out_;
    std::optional<ReplacingFile> whole_;
    std::string pending_;
    std::optional<Failure> failure_;
};

}  // namespace corvanel
