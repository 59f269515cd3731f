#pragma once

#include "evaluate.h"
#include "files.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel {

// The ordinary, non-hidden files of a folder (no folders), names only,
// sorted case-insensitively with ties broken by byte order. A missing folder
// lists nothing.
std::vector<std::string> listPages(const std::filesystem::path& imagesDir);

// A file name (or any text holding one) as text for JSON, CSV and messages:
// valid UTF-8 stays as it is, every other byte becomes the four characters
// \xHH (lowercase hex). File names are bytes; this never fails on them.
std::string printableName(std::string_view bytes);

// What a run reads once, at its start.
struct RunSettings {
    std::filesystem::path workspace;
    Level level = Level::Lines;
    bool readHeader = false;   // "Read Ix,Iy"
    std::int32_t threshold = 90;
    WeightTexts weights;
    bool diagnose = false;  // each page's evaluation says what matched what
    bool keepMaps = false;  // and hands its label maps back
    std::vector<std::int32_t> sweep;  // thresholds each page is also matched at
    std::filesystem::path gtRoot, resultsRoot;  // empty: the workspace's gt/ and results/
};

// Why a run cannot start (a threshold below 1, weights that do not read), or
// empty. Nothing is evaluated then.
std::string runProblem(const RunSettings& settings);

// The size of a page image without decoding it; nullopt when it cannot be read.
using ImageSizeReader = std::function<std::optional<PageSize>(const std::filesystem::path&)>;

std::filesystem::path pagePath(const std::filesystem::path& workspace, const std::string& name);

// The single-page run: EvaluatePage on the current page, no report row.
PageEvaluation evaluateSinglePage(const RunSettings& settings, const std::filesystem::path& currentPage,
                                  PageSize size);

struct PageOutcome {
    std::string name;
    bool evaluated = false;               // counted into the batch
    std::vector<std::string> messages;    // message-box texts, in order
    PageEvaluation evaluation;            // meaningful when evaluated
};

// One page of a batch: the image's size, then its evaluation. A page whose
// image cannot be read is reported and not evaluated. `level` and
// `batchTicked` are read per page, so they may change between pages.
PageOutcome evaluateBatchPage(const RunSettings& settings, const std::string& name, Level level,
                              bool batchTicked, const ImageSizeReader& imageSize);

struct BatchResult {
    Counts sums;
    std::int64_t evaluatedPages = 0;
    Rates rates;                        // pooled from the sums; "---" where undefined
    bool fatal = false;                 // a page's tables could not be allocated
};

// The report of a batch, written as the pages come in list order: the header
// line, an empty line, then per page its name, a TAB, the report row when the
// page was evaluated with "Batch" ticked, and CRLF.
class BatchReport {
public:
    // With `whole`, the report appears only once complete (see ReplacingFile)
    // instead of growing page by page.
    explicit BatchReport(std::filesystem::path path, bool whole = false);
    BatchReport(const BatchReport&) = delete;
    BatchReport& operator=(const BatchReport&) = delete;

    // Message for a report that could not be created or written; empty when all went well.
    const std::string& problem() const { return problem_; }

    void addPage(const PageOutcome& page);
    std::int64_t evaluatedPages() const { return result_.evaluatedPages; }

    // Closes the report and computes the pooled scores.
    BatchResult finish(const Weights& weights);

private:
    void write(const std::string& text);
    void flushPending();

    static constexpr std::size_t kPendingBytes = 64 * 1024;
    std::filesystem::path path_;
    std::ofstream out_;
    std::optional<ReplacingFile> whole_;
    std::string pending_;
    std::string problem_;
    BatchResult result_;
};

std::filesystem::path reportPath(const std::filesystem::path& workspace);

// What the window does around each page of a serial batch.
struct BatchHooks {
    std::function<std::size_t()> pageCount;                   // read again before every page
    std::function<std::string(std::size_t)> selectPage;       // select item i; its name
    std::function<Level()> level;                             // read per page
    std::function<bool()> batchTicked;                        // read per page
    std::function<void(const PageOutcome&, std::int64_t evaluatedPages)> afterPage;
};

// A serial batch over the pages the hooks give, with the report at `report`.
// Messages go to `message` as they arise. Refuses to start, touching no
// report, when runProblem() has something to say.
std::optional<BatchResult> runBatch(const RunSettings& settings, const std::filesystem::path& report,
                     const ImageSizeReader& imageSize, const BatchHooks& hooks,
                     const std::function<void(const std::string&)>& message);

}  // namespace corvanel
