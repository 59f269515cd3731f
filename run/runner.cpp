#include "run/runner.h"

#include "run/report.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include <malloc.h>
#include <sched.h>

namespace corvanel {

namespace fs = std::filesystem;

namespace {

Failure settingsFailure(std::string text) { return {FailureKind::Settings, {}, {}, {}, std::move(text), {}}; }

}  // namespace

std::variant<RunSettings, Failure> settingsFromFields(Level level, bool readHeader, std::int32_t threshold,
                                                      const WeightTexts& weights) {
    if (std::string problem = thresholdProblem(threshold); !problem.empty()) return settingsFailure(std::move(problem));
    auto parsed = parseWeights(weights);
    if (auto* problem = std::get_if<std::string>(&parsed)) return settingsFailure(std::move(*problem));
    RunSettings s;
    s.level = level;
    s.readHeader = readHeader;
    s.threshold = threshold;
    s.weights = std::get<Weights>(parsed);
    return s;
}

namespace {

// A page's evaluation; with `foundNothing`, against a result with no region.
PageOutcome evaluateSides(const Workspace& workspace, const RunSettings& s, const std::string& name, PageSize size,
                          bool foundNothing) {
    PageOutcome out;
    out.name = name;
    const auto finish = [&]() -> PageOutcome {
        for (Failure& f : out.failures)
            if (f.side) f.level = s.level;
        return std::move(out);
    };
    PageInk ink(workspace.pageImage(name), size, s.sources.greyPage);
    PageRequest& request = out.request;
    LoadedSide sides[2];
    // A page without its ground truth reads no result: the engine says what is missing.
    bool gtMissing = false;
    for (const MapKind side : {MapKind::GroundTruth, MapKind::Result}) {
        if (gtMissing || (foundNothing && side == MapKind::Result)) {
            auto found = workspace.source(side, s.level, name);
            if (auto* source = std::get_if<MapSource>(&found)) sides[1].source = *source;
            if (gtMissing) break;
            auto empty = std::make_shared<LabelMap>(size.width, size.height);
            std::fill_n(empty->data(), empty->pixelCount(), 0);
            sides[1].map = std::move(empty);
            break;
        }
        auto loaded = loadSide(workspace, s.sources, side, s.level, name, size, ink);
        if (auto* problem = std::get_if<Failure>(&loaded)) {
            out.failures.push_back(std::move(*problem));
            out.evaluation.fatal = out.failures.back().kind == FailureKind::Allocation;
            return finish();
        }
        LoadedSide& mine = sides[side == MapKind::Result];
        mine = std::get<LoadedSide>(std::move(loaded));
        for (Failure& note : mine.notes) out.failures.push_back(std::move(note));
        std::error_code ec;
        if (side == MapKind::GroundTruth)
            gtMissing = mine.source.kind == MapSource::Kind::Dat && !fs::exists(fs::symlink_status(mine.source.path, ec));
    }
    if (s.sources.inkOnly && !gtMissing) {
        auto counted = ink.get();
        if (auto* problem = std::get_if<Failure>(&counted)) {
            out.failures.push_back(std::move(*problem));
            out.evaluation.fatal = out.failures.back().kind == FailureKind::Allocation;
            return finish();
        }
        request.countedPixels = std::get<0>(std::move(counted));
    }
    request.pageName = name;
    request.gtMap = sides[0].source.path;
    request.rsMap = sides[1].source.path;
    request.gtLoaded = std::move(sides[0].map);
    request.rsLoaded = std::move(sides[1].map);
    request.readHeader = s.readHeader;
    request.size = size;
    request.threshold = s.threshold;
    request.weights = s.weights;
    request.diagnose = s.diagnose;
    request.keepMaps = s.keepMaps;
    request.sweep = s.sweep;
    out.gtIds = std::move(sides[0].ids);
    out.rsIds = std::move(sides[1].ids);

    out.evaluation = EvaluatePage(request);
    out.evaluated = out.evaluation.success;
    for (Failure& f : out.evaluation.failures) out.failures.push_back(std::move(f));
    out.evaluation.failures.clear();
    // Without its ground truth the result is never read: say whether it is there.
    if (out.failures.size() == 1 && out.failures[0].kind == FailureKind::MapMissing &&
        out.failures[0].side == MapKind::GroundTruth) {
        std::error_code ec;
        if (!fs::exists(request.rsMap, ec)) out.failures.push_back({FailureKind::MapMissing, request.rsMap, MapKind::Result, {}, {}, {}});
    }
    return finish();
}

// Whether only the result kept the page from being evaluated: its map is
// missing, unreadable or not a map of the page.
bool onlyTheResultFailed(const PageOutcome& page) {
    if (page.evaluated || page.evaluation.fatal) return false;
    bool result = false;
    for (const Failure& f : page.failures) {
        if (f.kind == FailureKind::RegionNote) continue;
        if (f.side != MapKind::Result || f.kind == FailureKind::MapAllocation) return false;
        result = true;
    }
    return result;
}

}  // namespace

PageOutcome evaluatePage(const Workspace& workspace, const RunSettings& s, const std::string& name, PageSize size) {
    PageOutcome out = evaluateSides(workspace, s, name, size, false);
    if (!s.missingResultFindsNothing || !onlyTheResultFailed(out)) return out;
    PageOutcome empty = evaluateSides(workspace, s, name, size, true);
    if (!empty.evaluated) return out;
    // What was wrong with the result is still said.
    empty.failures.insert(empty.failures.begin(), out.failures.begin(), out.failures.end());
    empty.foundNothing = true;
    return empty;
}

namespace {

// No page size of another image may stand in for this one.
PageOutcome unreadableImage(const Workspace& workspace, const std::string& name) {
    PageOutcome out;
    out.name = name;
    out.failures.push_back({FailureKind::PageImage, workspace.pageImage(name), {}, {}, {}, {}});
    return out;
}

}  // namespace

PageOutcome evaluateBatchPage(const Workspace& workspace, const RunSettings& s, const std::string& name,
                              const ImageSizeReader& imageSize) {
    if (const std::optional<PageSize> size = imageSize(workspace.pageImage(name)))
        return evaluatePage(workspace, s, name, *size);
    return unreadableImage(workspace, name);
}

std::optional<BatchResult> runBatch(const Workspace& workspace, const RunSettings& settings, const fs::path& reportPath,
                                    const ImageSizeReader& imageSize, const BatchHooks& hooks,
                                    const std::function<void(const std::string&)>& message) {
    const auto say = [&](const Failure& f) {
        if (const std::string text = boxText(f); !text.empty()) message(text);
    };
    if (std::string problem = thresholdProblem(settings.threshold); !problem.empty()) {
        say(settingsFailure(std::move(problem)));
        return std::nullopt;
    }
    BatchReport report(reportPath);
    if (report.failure()) say(*report.failure());
    BatchResult result;
    for (std::size_t i = 0; i < hooks.pageCount(); ++i) {
        const std::string name = hooks.selectPage(i);
        RunSettings s = settings;
        s.level = hooks.level();
        PageOutcome page;
        if (!hooks.evaluate) {
            page = evaluateBatchPage(workspace, s, name, imageSize);
        } else if (const std::optional<PageSize> size = imageSize(workspace.pageImage(name))) {
            std::optional<PageOutcome> done = hooks.evaluate(workspace, s, name, *size);
            if (!done) break;
            page = std::move(*done);
        } else {
            page = unreadableImage(workspace, name);
        }
        page.batchTicked = hooks.batchTicked();
        for (const Failure& f : page.failures) say(f);
        report.addPage(page);
        if (page.evaluation.fatal) {
            result.fatal = true;
            break;
        }
        if (page.evaluated) {
            result.sums += page.evaluation.counts;
            ++result.evaluatedPages;
        }
        if (hooks.afterPage) hooks.afterPage(page, result.evaluatedPages);
    }
    const bool reportWasFine = !report.failure();
    report.finish();
    if (reportWasFine && report.failure()) say(*report.failure());
    result.rates = computeRates(result.sums, settings.weights);
    return result;
}

void keepLargeBlocksForReuse() {
    // Fixed values also stop glibc's own adjusting of the thresholds.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

std::optional<unsigned> processorsOfQuota(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<unsigned>(std::max<std::int64_t>(1, (quota + period - 1) / period));
}

namespace {

// The quota of the cgroup (v2: cpu.max, "max 100000" or "200000 100000";
// v1: cpu.cfs_quota_us and cpu.cfs_period_us) at `dir` and its ancestors.
std::optional<unsigned> quotaAt(fs::path dir, const fs::path& root, bool v2) {
    std::optional<unsigned> least;
    for (;; dir = dir.parent_path()) {
        std::int64_t quota = -1, period = 0;
        if (v2) {
            std::ifstream max(dir / "cpu.max");
            std::string text;
            if (max >> text >> period && text != "max") quota = std::stoll(text);
        } else {
            std::ifstream(dir / "cpu.cfs_quota_us") >> quota;
            std::ifstream(dir / "cpu.cfs_period_us") >> period;
        }
        if (const auto n = processorsOfQuota(quota, period)) least = std::min(least.value_or(*n), *n);
        if (dir == root || !dir.has_relative_path()) return least;
    }
}

std::optional<unsigned> cgroupProcessors() {
    std::ifstream cgroups("/proc/self/cgroup");
    for (std::string line; std::getline(cgroups, line);) {
        // "0::/PATH" (v2) or "N:cpu,cpuacct:/PATH" (v1).
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const fs::path path = fs::path(line.substr(second + 1)).relative_path();
        std::optional<unsigned> found;
        if (controllers.empty()) {
            found = quotaAt(fs::path("/sys/fs/cgroup") / path, "/sys/fs/cgroup", true);
        } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {
            for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"})
                if (!found) found = quotaAt(fs::path(mount) / path, mount, false);
        }
        if (found) return found;
    }
    return std::nullopt;
}

}  // namespace

unsigned usableProcessors() {
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) n = std::max(1, CPU_COUNT(&set));
    try {
        if (const auto quota = cgroupProcessors()) n = std::min(n, *quota);
    } catch (const std::exception&) {
        // An unreadable quota is no quota.
    }
    return n;
}

namespace {

// Evaluates pages on worker threads and hands the outcomes over in list
// order. A worker that needs something done on the calling thread posts it;
// the calling thread does it while it waits for pages.
class ParallelPages final : public MainThread {
public:
    ParallelPages(const Workspace& workspace, const RunSettings& settings, const std::vector<std::string>& names,
                  unsigned jobs, const RunHooks& hooks)
        : workspace_(workspace), settings_(settings), names_(names), hooks_(hooks), done_(names.size()),
          outOfMemory_(names.size(), 0) {
        const std::size_t workers = std::min<std::size_t>(jobs, names.size());
        if (workers <= 1) return;  // evaluated on the caller's thread, one by one
        for (std::size_t w = 0; w < workers; ++w) {
            {
                std::lock_guard lock(mutex_);
                ++running_;
            }
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                // As many as the system lets us have; none: the caller's thread alone.
                std::lock_guard lock(mutex_);
                --running_;
                break;
            }
        }
    }

    ~ParallelPages() {
        stop_ = true;
        {
            // A worker may still be waiting for a task of ours.
            std::unique_lock lock(mutex_);
            while (running_ > 0) {
                ready_.wait(lock, [&] { return running_ == 0 || !tasks_.empty(); });
                runTasks(lock);
            }
        }
        for (std::thread& t : threads_) t.join();
    }

    PageOutcome take(std::size_t i) {
        if (threads_.empty()) return evaluate(i);
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return done_[i].has_value() || !tasks_.empty(); });
            if (done_[i]) break;
            runTasks(lock);
        }
        if (outOfMemory_[i]) throw std::bad_alloc();
        PageOutcome page = std::move(*done_[i]);
        done_[i].reset();
        return page;
    }

    void call(const std::function<void()>& task) override {
        if (std::this_thread::get_id() == caller_) {
            task();
            return;
        }
        Task posted{&task};
        std::unique_lock lock(mutex_);
        tasks_.push_back(&posted);
        ready_.notify_all();
        ready_.wait(lock, [&] { return posted.done; });
    }

    bool afterPageFailed() const { return afterPageFailed_; }

private:
    struct Task {
        const std::function<void()>* run;
        bool done = false;  // under mutex_
    };

    void runTasks(std::unique_lock<std::mutex>& lock) {
        while (!tasks_.empty()) {
            Task* task = tasks_.front();
            tasks_.pop_front();
            lock.unlock();
            try {
                (*task->run)();
            } catch (...) {
                lock.lock();
                task->done = true;
                ready_.notify_all();
                throw;
            }
            lock.lock();
            task->done = true;
        }
        ready_.notify_all();
    }

    PageOutcome evaluate(std::size_t i) {
        const ImageSizeReader size = [this](const fs::path& path) { return hooks_.imageSize(path, *this); };
        PageOutcome page = evaluateBatchPage(workspace_, settings_, names_[i], size);
        if (hooks_.afterPage && page.evaluated)
            if (auto failure = hooks_.afterPage(workspace_, settings_, page)) {
                page.failures.push_back(std::move(*failure));
                afterPageFailed_ = true;
            }
        return page;
    }

    void work() {
        for (std::size_t i; !stop_ && (i = next_++) < names_.size();) {
            std::optional<PageOutcome> page;
            try {
                page = evaluate(i);
            } catch (const std::bad_alloc&) {
                // Said on the calling thread, which ends the run.
                outOfMemory_[i] = true;
            }
            // A page whose tables could not be allocated ends the run.
            if (!page || page->evaluation.fatal) stop_ = true;
            std::lock_guard lock(mutex_);
            if (page)
                done_[i] = std::move(*page);
            else
                done_[i].emplace();
            ready_.notify_all();
        }
        // Pages nobody will evaluate any more: the run stops before them.
        std::lock_guard lock(mutex_);
        for (std::size_t i; (i = next_++) < names_.size();) done_[i].emplace();
        --running_;
        ready_.notify_all();
    }

    const Workspace& workspace_;
    const RunSettings& settings_;
    const std::vector<std::string>& names_;
    const RunHooks& hooks_;
    std::vector<std::optional<PageOutcome>> done_;  // under mutex_
    std::vector<char> outOfMemory_;                 // under mutex_, once done_
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> afterPageFailed_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task*> tasks_;  // under mutex_
    std::size_t running_ = 0;  // workers not yet done; under mutex_
    const std::thread::id caller_ = std::this_thread::get_id();
};

}  // namespace

LevelRun runPages(const Workspace& workspace, const RunSettings& settings, const std::vector<std::string>& pages,
                  unsigned jobs, const RunHooks& hooks, const std::function<void(const PageOutcome&)>& onPage) {
    LevelRun run;
    run.level = settings.level;
    run.listed = pages.size();
    run.perPage.resize(pages.size());
    Counts sums;
    std::vector<Counts> sweep(settings.sweep.size());
    std::int64_t evaluated = 0;
    {
        ParallelPages parallel(workspace, settings, pages, jobs, hooks);
        for (std::size_t i = 0; i < pages.size() && !run.fatal; ++i) {
            if (hooks.progress) hooks.progress(i + 1, pages.size(), pages[i]);
            const PageOutcome page = parallel.take(i);
            run.fatal = page.evaluation.fatal;
            if (page.evaluated) {
                sums += page.evaluation.counts;
                ++evaluated;
                if (!page.foundNothing) ++run.submitted;
                run.perPage[i] = LevelRun::PageScore{page.evaluation.counts, page.foundNothing};
                for (std::size_t t = 0; t < sweep.size(); ++t) sweep[t] += page.evaluation.sweep[t];
            }
            onPage(page);
        }
        run.afterPageFailed = parallel.afterPageFailed();
    }
    run.totals = pool(sums, evaluated, settings.weights);
    for (const Counts& c : sweep) run.sweep.push_back(pool(c, evaluated, settings.weights));
    return run;
}

RankingResult rankParticipants(
    const Workspace& workspace, const std::vector<Participant>& participants, RunSettings settings, unsigned jobs,
    const RunHooks& hooks, const std::function<void(const Participant&, Level, const PageOutcome&)>& onPage,
    const std::function<void(const Participant&, const LevelRun&)>& onLevel) {
    RankingResult result;
    const std::vector<std::string> pages = workspace.pages();
    // A page left out may not raise a participant's score.
    settings.missingResultFindsNothing = true;
    for (const Participant& participant : participants) {
        Workspace theirs = workspace;
        if (auto refused = theirs.setResultsFolder(participant.folder)) continue;
        Standing standing;
        standing.participant = participant;
        RunHooks theirHooks = hooks;
        if (hooks.progress)
            theirHooks.progress = [&](std::size_t i, std::size_t n, const std::string& page) {
                hooks.progress(i, n, participant.name + ": " + page);
            };
        for (const Level level : {Level::Lines, Level::Words}) {
            settings.level = level;
            LevelRun run = runPages(theirs, settings, pages, jobs, theirHooks,
                                    [&](const PageOutcome& page) { onPage(participant, level, page); });
            if (run.fatal) {
                result.fatal = true;
                return result;
            }
            onLevel(participant, run);
            (level == Level::Words ? standing.words : standing.lines) = std::move(run);
        }
        standing.overall =
            (standing.lines.totals.rates.FM.value_or(0) + standing.words.totals.rates.FM.value_or(0)) / 2;
        result.standings.push_back(std::move(standing));
    }
    std::stable_sort(result.standings.begin(), result.standings.end(), [](const Standing& a, const Standing& b) {
        return a.overall != b.overall ? a.overall > b.overall : a.participant.name < b.participant.name;
    });
    for (const Level level : {Level::Lines, Level::Words}) {
        const std::vector<std::size_t> order = boardOrder(result.standings, level);
        for (std::size_t k = 0; k < order.size(); ++k)
            (level == Level::Lines ? result.standings[order[k]].linesPlace : result.standings[order[k]].wordsPlace) = k + 1;
    }
    return result;
}

}  // namespace corvanel
