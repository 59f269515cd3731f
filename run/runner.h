#pragma once

// Runs evaluations over a workspace's pages: one page, the window's serial
// batch, pages in parallel for the tool, and a ranking of participants. It
// hands back numbers and failures; progress, page sizes and error images
// come in as callbacks. Nothing here prints.

#include "eval/evaluate.h"
#include "run/results.h"
#include "run/sources.h"
#include "run/workspace.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvanel {

// What a run reads once, at its start.
struct RunSettings {
    Level level = Level::Lines;
    bool readHeader = false;  // "Read Ix,Iy"
    std::int32_t threshold = 90;
    Weights weights;
    bool diagnose = false;            // each page's evaluation says what matched what
    bool keepMaps = false;            // and hands its label maps back
    std::vector<std::int32_t> sweep;  // thresholds each page is also matched at
    SourceSettings sources;           // which pixels count; how page images decode for their ink
    // A result map that is missing or broken scores as a page where nothing
    // was found, as a contest counts it; otherwise the page is not evaluated.
    bool missingResultFindsNothing = false;
};

// The settings the window's fields give, or the failure to show: a
// threshold below 1 first, then weights that do not read.
std::variant<RunSettings, Failure> settingsFromFields(Level level, bool readHeader, std::int32_t threshold,
                                                      const WeightTexts& weights);

// The size of a page image without decoding it; nullopt when it cannot be read.
using ImageSizeReader = std::function<std::optional<PageSize>(const std::filesystem::path&)>;

// One page whose image size is known: EvaluatePage on its maps. A page
// whose ground truth is missing also says whether its result is.
PageOutcome evaluatePage(const Workspace& workspace, const RunSettings& settings, const std::string& name,
                         PageSize size);

// One page of a batch: the image's size, then its evaluation. A page whose
// image cannot be read is reported and not evaluated.
PageOutcome evaluateBatchPage(const Workspace& workspace, const RunSettings& settings, const std::string& name,
                              const ImageSizeReader& imageSize);

// What the window does around each page of a serial batch.
struct BatchHooks {
    std::function<std::size_t()> pageCount;                   // read again before every page
    std::function<std::string(std::size_t)> selectPage;       // select item i; its name
    std::function<Level()> level;                             // read per page
    std::function<bool()> batchTicked;                        // read per page
    std::function<void(const PageOutcome&, std::int64_t evaluatedPages)> afterPage;
    // Evaluates a page whose size is known, as evaluatePage does, where the
    // caller likes (a thread the window waits for); nullopt when the user
    // stopped it, which ends the batch there. Unset: evaluatePage here.
    std::function<std::optional<PageOutcome>(const Workspace&, const RunSettings&, const std::string& name, PageSize)>
        evaluate;
};

// The window's batch: serial, over the pages the hooks give, writing the
// report (the workspace's Results.txt) page by page; a batch stopped by the
// user keeps the pages done. The window's text of
// each failure goes to `message` as it arises. Refuses to start, touching
// no report, when the threshold is below 1.
std::optional<BatchResult> runBatch(const Workspace& workspace, const RunSettings& settings,
                                    const std::filesystem::path& report, const ImageSizeReader& imageSize,
                                    const BatchHooks& hooks,
                                    const std::function<void(const std::string&)>& message);

// Lets a worker have something done on the thread that runs the pages (Qt's
// plugins load there), and waits for it.
class MainThread {
public:
    virtual void call(const std::function<void()>& task) = 0;

protected:
    ~MainThread() = default;
};

// A run on one thread: what is asked of the main thread is done at once.
class CallingThread final : public MainThread {
public:
    void call(const std::function<void()>& task) override { task(); }
};

struct RunHooks {
    // A page image's size. With several jobs it is called on the workers.
    std::function<std::optional<PageSize>(const std::filesystem::path&, MainThread&)> imageSize;
    // After a page was evaluated, on the thread that evaluated it; a failure
    // joins the page's.
    std::function<std::optional<Failure>(const Workspace&, const RunSettings&, const PageOutcome&)> afterPage;
    // Before each page is handed over: its place in the list, the list's length, its name.
    std::function<void(std::size_t, std::size_t, const std::string&)> progress;
};

// Tunes the C library's allocator for a process that evaluates pages: the
// blocks of tens of megabytes a page takes (a label map, the page in grey,
// its ink) stay in the heap for the next page instead of going back to the
// system, where every fresh block costs a page fault each 4 KB: half the
// time of a page whose ink is counted. Up to 256 MB stay held. Call it first
// thing in main().
void keepLargeBlocksForReuse();

// The processors this process may run on: its CPU affinity, bounded by its
// cgroup's CPU quota (rounded up); at least 1.
unsigned usableProcessors();
// What a CPU quota of `quota` microseconds every `period` grants, rounded
// up; nothing when there is no quota (negative, or "max").
std::optional<unsigned> processorsOfQuota(std::int64_t quota, std::int64_t period);

// Evaluates `pages` on up to `jobs` threads and hands each outcome to
// `onPage` on the calling thread, in list order. A thread that cannot be
// started leaves its pages to the others, the calling thread at least. A
// page that runs out of memory on a worker ends the run with std::bad_alloc
// on the calling thread.
LevelRun runPages(const Workspace& workspace, const RunSettings& settings, const std::vector<std::string>& pages,
                  unsigned jobs, const RunHooks& hooks, const std::function<void(const PageOutcome&)>& onPage);

// Scores every participant at both levels against the workspace's ground
// truth, best first (ties by name). A page with ground truth whose result
// is missing or broken counts as one where nothing was found. `onPage` sees
// every page outcome, `onLevel` every level run as it ends. Stops at a
// fatal page.
RankingResult rankParticipants(
    const Workspace& workspace, const std::vector<Participant>& participants, RunSettings settings, unsigned jobs,
    const RunHooks& hooks, const std::function<void(const Participant&, Level, const PageOutcome&)>& onPage,
    const std::function<void(const Participant&, const LevelRun&)>& onLevel);

}  // namespace corvanel
