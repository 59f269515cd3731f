#include "evaluator.h"

#include "batch.h"
#include "qt_parts.h"
#include "tables.h"
#include "tiffsize.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "corvanel_version.h"

namespace corvanel::cli {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::optional<int> parse(int argc, const char* const* argv, Options& o, std::ostream& out, std::ostream& err) {
    CLI::App app{"Scores segmentation results against the ground truth of a workspace.\n"
                 "Without --page, evaluates every page of WORKSPACE/images and writes WORKSPACE/Results.txt.\n"
                 "'corvanel-eval rank WORKSPACE DIR...' ranks participants instead.",
                 "corvanel-eval"};
    app.set_version_flag("--version", "corvanel-eval " CORVANEL_VERSION, "Print the version and exit");
    app.add_option("WORKSPACE", o.workspace, "Folder holding images/, gt/ and results/")->type_name("FOLDER");
    app.add_option("--level", o.level, "Segmentation level: lines or words")->type_name("LEVEL")->capture_default_str();
    app.add_option("--threshold", o.threshold, "Match threshold in percent, a whole number from 1 to 100")
        ->type_name("T")
        ->capture_default_str();
    app.add_flag("--header", o.header, "Label maps begin with an 8-byte width and height header");
    app.add_option("--page", o.page, "Evaluate only this page of WORKSPACE/images; no report is written")
        ->type_name("NAME");
    app.add_option("--weights", o.weights,
                   "Weights W1,W2,W3 for one2one, one2many and many2one, none negative (W1 whole, W2 and W3 "
                   "truncated)")
        ->type_name("W1,W2,W3")
        ->capture_default_str();
    app.add_option("--jobs", o.jobs, "Pages evaluated in parallel, from 1 (default: the number of cores)")
        ->type_name("N");
    app.add_option("--results", o.results, "The participant's folder, holding lines/ and words/ (default WORKSPACE/results)")
        ->type_name("FOLDER");
    app.add_option("--gt", o.gt, "The ground truth's folder, holding lines/ and words/ (default WORKSPACE/gt)")
        ->type_name("FOLDER");
    app.add_option("--json", o.json, "Also write the details and totals as JSON to FILE")->type_name("FILE");
    app.add_option("--csv", o.csv, "Also write a table as CSV to FILE: a row a page (a row a participant with rank, "
                                   "a row a threshold with --sweep)")
        ->type_name("FILE");
    app.add_option("--markdown", o.markdown, "With rank: also write the leaderboard as a Markdown table to FILE")
        ->type_name("FILE");
    app.add_option("--report", o.report, "Write the report to FILE instead of WORKSPACE/Results.txt")
        ->type_name("FILE");
    app.add_option("--error-images", o.errorImages,
                   "For every evaluated page write FOLDER/<page>.<level>.errors.png: the page with each region "
                   "coloured by what the matching made of it (the viewer's error view)")
        ->type_name("FOLDER");
    app.add_option("--sweep", o.sweep, "Also score at every threshold FROM, FROM+STEP, ... up to TO (e.g. 50:100:5)")
        ->type_name("FROM:TO:STEP");
    app.add_option("--plot", o.plot, "With --sweep: draw FM, DR and RA against the threshold into FILE (.svg or .png)")
        ->type_name("FILE");
    app.add_flag("--strict", o.strict, "Exit 1 when any page could not be evaluated");
    CLI::App* rank = app.add_subcommand(
        "rank", "Rank participants: evaluate each DIR at both levels and print a leaderboard, best first.\n"
                "A DIR holding neither lines/ nor words/ stands for each of its sub-folders that does.\n"
                "Takes the options of corvanel-eval (see corvanel-eval --help) but --level, --page, --report,\n"
                "--results and --error-images, and --markdown FILE for the leaderboard as a Markdown table.");
    rank->add_option("WORKSPACE", o.workspace, "Folder holding images/ and gt/")->type_name("FOLDER")->required();
    rank->add_option("DIR", o.participants, "Participants' folders")->type_name("DIR")->required();
    rank->fallthrough();
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        app.exit(e, out, err);
        return kBadArguments;
    }
    o.rank = rank->parsed();

    const auto refuse = [&](const std::string& why) {
        err << "corvanel-eval: " << printableName(why) << "\n";
        return kBadArguments;
    };
    if (o.workspace.empty()) return refuse("WORKSPACE is required; see --help");
    std::string level = o.level;
    std::transform(level.begin(), level.end(), level.begin(), [](unsigned char c) { return std::tolower(c); });
    if (level != "lines" && level != "words") return refuse("--level must be lines or words (it is '" + o.level + "')");
    o.level = level;
    const auto threshold = parseWholeNumber(o.threshold);
    if (!threshold || *threshold < 1 || *threshold > 100)
        return refuse("--threshold must be a whole number from 1 to 100 (it is '" + o.threshold + "')");
    if (o.jobs.empty()) {
        o.jobs = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
    } else if (const auto jobs = parseWholeNumber(o.jobs); !jobs || *jobs < 1) {
        return refuse("--jobs must be a whole number from 1 (it is '" + o.jobs + "')");
    }
    if (o.plot && !o.sweep) return refuse("--plot needs --sweep");
    if (o.markdown && !o.rank) return refuse("--markdown goes with rank");
    if (o.rank)
        for (const auto& [given, name] : {std::pair{o.page.has_value(), "--page"}, {o.report.has_value(), "--report"},
                                          {o.results.has_value(), "--results"},
                                          {o.errorImages.has_value(), "--error-images"}})
            if (given) return refuse(std::string(name) + " does not go with rank");
    std::error_code ec;
    if (!fs::is_directory(o.workspace, ec)) return refuse("no workspace folder at " + o.workspace.string());
    if (!fs::is_directory(o.workspace / "images", ec)) return refuse("no images folder in " + o.workspace.string());
    return std::nullopt;
}

namespace {

std::optional<WeightTexts> splitWeights(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (parts.size() != 3) return std::nullopt;
    return WeightTexts{parts[0], parts[1], parts[2]};
}

// FROM:TO:STEP as the thresholds it names.
std::optional<std::vector<std::int32_t>> parseSweep(const std::string& text) {
    const std::size_t a = text.find(':');
    const std::size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos) return std::nullopt;
    const auto from = parseWholeNumber(text.substr(0, a));
    const auto to = parseWholeNumber(text.substr(a + 1, b - a - 1));
    const auto step = parseWholeNumber(text.substr(b + 1));
    if (!from || !to || !step || *from < 1 || *to > 100 || *from > *to || *step < 1) return std::nullopt;
    std::vector<std::int32_t> thresholds;
    // In 64 bits: a step near 2^31 must not wrap around.
    for (std::int64_t t = *from; t <= *to; t += *step) thresholds.push_back(static_cast<std::int32_t>(t));
    return thresholds;
}

// The pooled rates, undefined ones as nullopt.
struct Pooled {
    Counts counts;
    std::int64_t pages = 0;
    std::optional<double> DR, RA, FM;
};

Pooled pooled(const Counts& sums, std::int64_t pages, const Weights& w) {
    const Rates r = batchRates(sums, w);
    Pooled p{sums, pages, {}, {}, {}};
    if (sums.N != 0) p.DR = r.DR;
    if (sums.M != 0) p.RA = r.RA;
    if (sums.N != 0 && sums.M != 0) p.FM = r.FM;
    return p;
}

Json optionalJson(std::optional<double> v) { return v ? Json(*v) : Json(nullptr); }

void printCounts(std::ostream& out, const Counts& c, const Rates& r) {
    out << "N: " << c.N << "\n"
        << "M: " << c.M << "\n"
        << "one2one: " << c.one2one << "\n"
        << "g_one2many: " << c.g_one2many << "\n"
        << "g_many2one: " << c.g_many2one << "\n"
        << "d_one2many: " << c.d_one2many << "\n"
        << "d_many2one: " << c.d_many2one << "\n"
        << "Detection Rate: " << r.drText << "\n"
        << "Recognition Accuracy: " << r.raText << "\n"
        << "FM    : " << r.fmText << "\n";
}

Json rate(double value, bool defined) { return defined ? Json(value) : Json(nullptr); }

Json countsJson(const Counts& c, const Rates& r) {
    return Json{{"N", c.N},
                {"M", c.M},
                {"one2one", c.one2one},
                {"g_one2many", c.g_one2many},
                {"g_many2one", c.g_many2one},
                {"d_one2many", c.d_one2many},
                {"d_many2one", c.d_many2one},
                {"DR", rate(r.DR, c.N != 0)},
                {"RA", rate(r.RA, c.M != 0)},
                {"FM", rate(r.FM, c.N != 0 && c.M != 0)}};
}

Json regionsJson(const std::vector<RegionDiagnosis>& regions) {
    Json list = Json::array();
    for (const RegionDiagnosis& r : regions) {
        list.push_back({{"label", r.label},
                        {"area", r.area},
                        {"bbox", {r.box.left, r.box.top, r.box.right, r.box.bottom}},
                        {"status", statusName(r.status)},
                        {"partners", r.partners},
                        {"score", r.score ? Json(*r.score) : Json(nullptr)},
                        {"best", r.best ? Json{{"label", r.best->label}, {"score", r.best->score}} : Json(nullptr)}});
    }
    return list;
}

Json pageJson(const std::string& name, const PageEvaluation* e, const std::vector<std::string>& messages) {
    Json page{{"name", printableName(name)}, {"evaluated", e != nullptr}};
    if (e) {
        page.update(countsJson(e->counts, e->rates));
        Json pairs = Json::array();
        for (const MatchedPair& p : e->detail.one2one)
            pairs.push_back({{"gt", p.gtLabel}, {"result", p.rsLabel}, {"score", p.score}});
        Json gtGroups = Json::array();
        for (const MatchedGroup& g : e->detail.gtCentred) gtGroups.push_back({{"gt", g.centre}, {"results", g.members}});
        Json rsGroups = Json::array();
        for (const MatchedGroup& g : e->detail.resultCentred)
            rsGroups.push_back({{"result", g.centre}, {"gts", g.members}});
        page["one2one_pairs"] = pairs;
        page["gt_groups"] = gtGroups;
        page["result_groups"] = rsGroups;
        page["unmatched_gt"] = e->detail.unmatchedGt;
        page["unmatched_result"] = e->detail.unmatchedResult;
        if (e->diagnosis) {
            page["gt_regions"] = regionsJson(e->diagnosis->gt());
            page["result_regions"] = regionsJson(e->diagnosis->result());
        }
    }
    Json shown = Json::array();
    for (const std::string& m : messages) shown.push_back(printableName(m));
    page["messages"] = std::move(shown);
    return page;
}

// Writes a file whole or not at all, saying on err when it could not.
bool writeOutput(const char* what, const fs::path& path, const std::string& text, std::ostream& err) {
    if (const auto why = writeWhole(path, text)) {
        err << "Cannot write the " << what << " " << printableName(path.string()) << ": " << *why << "\n";
        return false;
    }
    return true;
}

Json settingsJson(const Options& o, const RunSettings& s, const Weights& w) {
    Json json{{"workspace", printableName(o.workspace.string())}, {"level", o.level}, {"threshold", s.threshold},
              {"weights", {w.w1, w.w2, w.w3}}};
    if (o.rank) json.erase("level");
    return json;
}

// A map's path as the user would name it: inside the workspace, relative to it.
std::string shownPath(const fs::path& path, const fs::path& workspace) {
    const fs::path relative = path.lexically_relative(workspace);
    if (relative.empty() || *relative.begin() == "..") return path.string();
    return relative.string();
}

// What the tool says of a page, one line a problem: the window's text, with
// the reason after it; for a page whose maps are missing, which ones.
std::vector<std::string> pageMessages(const RunSettings& s, const PageOutcome& page) {
    const PageEvaluation& e = page.evaluation;
    std::vector<std::string> lines;
    if (!e.messages.empty()) {
        for (std::size_t k = 0; k < e.messages.size(); ++k)
            lines.push_back(k < e.details.size() && !e.details[k].empty() ? e.messages[k] + ": " + e.details[k]
                                                                          : e.messages[k]);
        return lines;
    }
    if (!page.messages.empty() || page.evaluated) return page.messages;
    const PageContext context{s.workspace, pagePath(s.workspace, page.name), s.level, s.readHeader, s.gtRoot,
                              s.resultsRoot};
    std::string missing;
    for (MapKind kind : {MapKind::GroundTruth, MapKind::Result}) {
        const fs::path path = mapPath(context, kind);
        std::error_code ec;
        if (fs::exists(path, ec)) continue;
        missing += (missing.empty() ? "" : " and ") + std::string(kind == MapKind::GroundTruth ? "no ground-truth map " : "no result map ") +
                   shownPath(path, s.workspace);
    }
    lines.push_back(page.name + ": " + (missing.empty() ? "not evaluated" : missing));
    return lines;
}


// The page's error image through the module; the reason when it was not written.
std::optional<std::string> errorImage(const fs::path& folder, const RunSettings& s, const fs::path& pageImage,
                                      Level level, const PageEvaluation& e) {
    const QtParts* parts = qtParts();
    if (!parts) return "Cannot write the error image of " + pageImage.filename().string() + ": no corvanel-eval-qt.so";
    return parts->writeErrorImage(folder, s, pageImage, level, e);
}

// Evaluates pages on `jobs` threads and hands the outcomes over in list order.
// Workers read TIFF sizes themselves; the first page that needs Qt has the
// main thread load the module and its plugins, which a worker must not.
class ParallelPages {
public:
    ParallelPages(const RunSettings& settings, const std::vector<std::string>& names, unsigned jobs,
                  const std::optional<fs::path>& errorImages)
        : settings_(settings), names_(names), errorImages_(errorImages), done_(names.size()) {
        const std::size_t workers = std::min<std::size_t>(jobs, names.size());
        if (workers <= 1) return;  // evaluated on the caller's thread, one by one
        if (errorImages_) prepareQt();
        for (std::size_t w = 0; w < workers; ++w) threads_.emplace_back([this] { work(); });
    }
    ~ParallelPages() {
        stop_ = true;
        {
            // A worker may still be waiting for Qt's side.
            std::unique_lock lock(mutex_);
            if (qtWanted_ && !qtReady_) {
                lock.unlock();
                prepareQt();
                lock.lock();
            }
            qtReady_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    PageOutcome take(std::size_t i) {
        if (threads_.empty()) return evaluate(i);
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return done_[i].has_value() || (qtWanted_ && !qtReady_); });
            if (done_[i]) break;
            lock.unlock();
            prepareQt();
            lock.lock();
            qtReady_ = true;
            ready_.notify_all();
        }
        PageOutcome page = std::move(*done_[i]);
        done_[i].reset();
        return page;
    }

    // Some page's error image could not be written.
    bool imageFailed() const { return imageFailed_; }

private:
    static void prepareQt() {
        if (const QtParts* parts = qtParts()) parts->loadImagePlugins();
    }
    std::optional<PageSize> sizeOf(const fs::path& path) {
        if (const auto size = imaging::readTiffSize(path)) return size;
        if (std::this_thread::get_id() != mainThread_) {
            std::unique_lock lock(mutex_);
            qtWanted_ = true;
            ready_.notify_all();
            ready_.wait(lock, [&] { return qtReady_; });
        }
        return qtImageSize(path);
    }
    PageOutcome evaluate(std::size_t i) {
        PageOutcome page = evaluateBatchPage(settings_, names_[i], settings_.level, true,
                                             [this](const fs::path& path) { return sizeOf(path); });
        if (errorImages_ && page.evaluated) {
            if (auto problem = errorImage(*errorImages_, settings_, pagePath(settings_.workspace, names_[i]),
                                          settings_.level, page.evaluation)) {
                page.messages.push_back(std::move(*problem));
                imageFailed_ = true;
            }
        }
        return page;
    }
    void work() {
        for (std::size_t i; !stop_ && (i = next_++) < names_.size();) {
            PageOutcome page = evaluate(i);
            // A page whose tables could not be allocated ends the run.
            if (page.evaluation.fatal) stop_ = true;
            {
                std::lock_guard lock(mutex_);
                done_[i] = std::move(page);
            }
            ready_.notify_all();
        }
        // Pages nobody will evaluate any more still need an answer.
        for (std::size_t i; (i = next_++) < names_.size();) {
            std::lock_guard lock(mutex_);
            done_[i] = PageOutcome{names_[i], false, {}, {}};
            ready_.notify_all();
        }
    }

    const RunSettings& settings_;
    const std::vector<std::string>& names_;
    const std::optional<fs::path>& errorImages_;
    std::vector<std::optional<PageOutcome>> done_;
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> imageFailed_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    const std::thread::id mainThread_ = std::this_thread::get_id();
    bool qtWanted_ = false, qtReady_ = false;  // under mutex_
};

class Progress {
public:
    Progress(std::ostream& err, bool on) : err_(err), on_(on) {}
    void show(std::size_t done, std::size_t total, const std::string& name) {
        if (on_) err_ << "\rEvaluating " << done << "/" << total << ": " << name << "\x1b[K" << std::flush;
    }
    void clear() {
        if (on_) err_ << "\r\x1b[K" << std::flush;
    }

private:
    std::ostream& err_;
    bool on_;
};

// --jobs as parse() left it; the number of cores when not given.
unsigned jobCount(const Options& o) {
    const auto jobs = parseWholeNumber(o.jobs);
    if (jobs && *jobs >= 1) return static_cast<unsigned>(*jobs);
    return std::max(1u, std::thread::hardware_concurrency());
}

// One participant's pages at one level, through ParallelPages, with the
// messages, JSON and CSV rows each page gives.
struct LevelRun {
    Pooled totals;
    std::vector<Counts> sweep;  // pooled counts per threshold
    std::vector<Row> csvRows;
    Json pages = Json::array();
    std::size_t listed = 0;
    bool fatal = false;
    bool imageFailed = false;
};

const Row kPageColumns{"page",       "level",      "evaluated",  "N",  "M",  "one2one", "g_one2many",
                       "g_many2one", "d_one2many", "d_many2one", "DR", "RA", "FM",      "reason"};

Row pageRow(const PageOutcome& page, const char* level, const std::vector<std::string>& messages) {
    Row row{page.name, level, page.evaluated ? "yes" : "no"};
    if (page.evaluated) {
        const Counts& c = page.evaluation.counts;
        for (std::int64_t v : {c.N, c.M, c.one2one, c.g_one2many, c.g_many2one, c.d_one2many, c.d_many2one})
            row.push_back(std::to_string(v));
        const Rates& r = page.evaluation.rates;
        row.push_back(exactNumber(c.N != 0 ? std::optional(r.DR) : std::nullopt));
        row.push_back(exactNumber(c.M != 0 ? std::optional(r.RA) : std::nullopt));
        row.push_back(exactNumber(c.N != 0 && c.M != 0 ? std::optional(r.FM) : std::nullopt));
        row.push_back("");
    } else {
        row.resize(kPageColumns.size() - 1);
        std::string reason;
        for (const std::string& m : messages) reason += (reason.empty() ? "" : "; ") + m;
        row.push_back(reason);
    }
    return row;
}

// `prefix` names the participant in messages when several are scored.
LevelRun runLevel(const Options& o, const RunSettings& s, const Weights& w, const std::vector<std::string>& names,
                  BatchReport* report, const std::string& prefix, std::ostream& err, bool progressOn) {
    LevelRun run;
    run.listed = names.size();
    run.sweep.assign(s.sweep.size(), Counts{});
    Counts sums;
    std::int64_t evaluated = 0;
    const char* level = s.level == Level::Words ? "words" : "lines";
    Progress progress(err, progressOn);
    {
        ParallelPages pages(s, names, jobCount(o), o.errorImages);
        for (std::size_t i = 0; i < names.size() && !run.fatal; ++i) {
            progress.show(i + 1, names.size(), prefix + names[i]);
            const PageOutcome page = pages.take(i);
            const std::vector<std::string> messages = pageMessages(s, page);
            if (!messages.empty()) progress.clear();
            for (const std::string& m : messages) err << printableName(prefix + m) << "\n";
            if (report) report->addPage(page);
            run.fatal = page.evaluation.fatal;
            if (page.evaluated) {
                sums += page.evaluation.counts;
                ++evaluated;
                for (std::size_t t = 0; t < run.sweep.size(); ++t) run.sweep[t] += page.evaluation.sweep[t];
            }
            if (o.json) run.pages.push_back(pageJson(page.name, page.evaluated ? &page.evaluation : nullptr, messages));
            if (o.csv) run.csvRows.push_back(pageRow(page, level, messages));
        }
        run.imageFailed = pages.imageFailed();
    }
    progress.clear();
    run.totals = pooled(sums, evaluated, w);
    return run;
}

void summarise(const LevelRun& run, const char* level, const std::string& prefix, std::ostream& err) {
    if (run.totals.pages < static_cast<std::int64_t>(run.listed))
        err << printableName(prefix) << run.totals.pages << " of " << run.listed << " pages evaluated (" << level << ")\n";
}

struct SweepRow {
    std::string participant;
    const char* level;
    std::int32_t threshold;
    Pooled at;
};

void addSweep(std::vector<SweepRow>& rows, const std::string& participant, const char* level, const RunSettings& s,
              const LevelRun& run, const Weights& w) {
    for (std::size_t t = 0; t < s.sweep.size(); ++t)
        rows.push_back({participant, level, s.sweep[t], pooled(run.sweep[t], run.totals.pages, w)});
}

const Row kSweepColumns{"participant", "level", "threshold", "N", "M", "one2one", "DR", "RA", "FM"};

std::vector<Row> sweepRows(const std::vector<SweepRow>& rows, bool exact) {
    std::vector<Row> table;
    for (const SweepRow& r : rows) {
        const auto number = exact ? exactNumber : twoDecimals;
        table.push_back({r.participant, r.level, std::to_string(r.threshold), std::to_string(r.at.counts.N),
                         std::to_string(r.at.counts.M), std::to_string(r.at.counts.one2one), number(r.at.DR),
                         number(r.at.RA), number(r.at.FM)});
    }
    return table;
}

Json sweepJson(const std::vector<SweepRow>& rows) {
    Json list = Json::array();
    for (const SweepRow& r : rows)
        list.push_back({{"participant", printableName(r.participant)}, {"level", r.level}, {"threshold", r.threshold},
                        {"N", r.at.counts.N}, {"M", r.at.counts.M}, {"one2one", r.at.counts.one2one},
                        {"DR", optionalJson(r.at.DR)}, {"RA", optionalJson(r.at.RA)}, {"FM", optionalJson(r.at.FM)}});
    return list;
}

bool writePlotFile(const Options& o, const std::vector<SweepRow>& rows, std::ostream& err) {
    std::vector<Curve> curves;
    for (const SweepRow& r : rows) {
        if (curves.empty() || curves.back().participant != printableName(r.participant) ||
            curves.back().level != r.level)
            curves.push_back({printableName(r.participant), r.level, {}});
        curves.back().points.push_back({r.threshold, r.at.DR, r.at.RA, r.at.FM});
    }
    const QtParts* parts = qtParts();
    if (!parts) return false;
    if (const std::string problem = parts->writePlot(*o.plot, curves); !problem.empty()) {
        err << printableName(problem) << "\n";
        return false;
    }
    return true;
}

std::string folderName(const fs::path& folder) {
    const fs::path normal = folder.lexically_normal();
    return (normal.has_filename() ? normal : normal.parent_path()).filename().string();
}

int runPage(const Options& o, const RunSettings& s, const Weights& w, std::ostream& out, std::ostream& err) {
    const fs::path path = pagePath(s.workspace, *o.page);
    const std::optional<PageSize> size = pageImageSize(path);
    if (!size) {
        err << "Cannot read the page image " << printableName(*o.page) << "; the page was not evaluated\n";
        return kFailure;
    }
    const PageEvaluation e = evaluateSinglePage(s, path, *size);
    const PageOutcome outcome{*o.page, e.success, e.messages, e};
    const std::vector<std::string> messages = pageMessages(s, outcome);
    for (const std::string& m : messages) err << printableName(m) << "\n";
    if (e.fatal) return kOutOfMemory;
    if (!e.success) return kFailure;
    printCounts(out, e.counts, e.rates);
    bool ok = true;
    if (o.errorImages)
        if (auto problem = errorImage(*o.errorImages, s, path, s.level, e)) {
            err << printableName(*problem) << "\n";
            ok = false;
        }
    if (o.json) {
        Json json = settingsJson(o, s, w);
        json["pages"] = Json::array({pageJson(*o.page, &e, messages)});
        ok = writeOutput("JSON file", *o.json, json.dump(2) + "\n", err) && ok;
    }
    if (o.csv)
        ok = writeOutput("CSV file", *o.csv, csvTable(kPageColumns, {pageRow(outcome, o.level.c_str(), messages)}), err) &&
             ok;
    return ok ? kSuccess : kFailure;
}

int runAll(const Options& o, const RunSettings& s, const Weights& w, std::ostream& out, std::ostream& err,
           bool progressOn) {
    const std::vector<std::string> names = listPages(s.workspace / "images");
    BatchReport report(o.report.value_or(reportPath(s.workspace)), /*whole=*/true);
    if (!report.problem().empty()) err << printableName(report.problem()) << "\n";
    const bool reportWasFine = report.problem().empty();

    const LevelRun run = runLevel(o, s, w, names, &report, "", err, progressOn);
    const BatchResult result = report.finish(w);
    if (reportWasFine && !report.problem().empty()) err << printableName(report.problem()) << "\n";
    if (run.fatal) return kOutOfMemory;

    printCounts(out, result.sums, result.rates);
    out << "Im.: " << result.evaluatedPages << "\n";
    std::vector<SweepRow> sweep;
    const std::string participant = folderName(s.resultsRoot.empty() ? s.workspace / "results" : s.resultsRoot);
    addSweep(sweep, participant, o.level.c_str(), s, run, w);
    if (!sweep.empty()) out << "\n" << textTable(kSweepColumns, sweepRows(sweep, false));
    summarise(run, o.level.c_str(), "", err);

    bool ok = report.problem().empty() && !run.imageFailed;
    if (o.json) {
        Json json = settingsJson(o, s, w);
        json["pages"] = run.pages;
        Json totals{{"pages_evaluated", result.evaluatedPages}};
        totals.update(countsJson(result.sums, result.rates));
        json["totals"] = std::move(totals);
        if (!sweep.empty()) json["sweep"] = sweepJson(sweep);
        ok = writeOutput("JSON file", *o.json, json.dump(2) + "\n", err) && ok;
    }
    if (o.csv)
        ok = writeOutput("CSV file", *o.csv,
                         sweep.empty() ? csvTable(kPageColumns, run.csvRows) : csvTable(kSweepColumns, sweepRows(sweep, true)),
                         err) &&
             ok;
    if (o.plot) ok = writePlotFile(o, sweep, err) && ok;
    if (o.strict && run.totals.pages < static_cast<std::int64_t>(run.listed)) ok = false;
    return ok ? kSuccess : kFailure;
}

// The participants the folders stand for: a folder with lines/ or words/ is
// one, named by its folder; another stands for each such sub-folder.
std::optional<std::vector<std::pair<std::string, fs::path>>> participantsOf(const std::vector<fs::path>& dirs,
                                                                          std::ostream& err) {
    std::error_code ec;
    const auto isParticipant = [&](const fs::path& d) {
        return fs::is_directory(d / "lines", ec) || fs::is_directory(d / "words", ec);
    };
    std::vector<std::pair<std::string, fs::path>> found;
    for (const fs::path& dir : dirs) {
        if (isParticipant(dir)) {
            found.emplace_back(folderName(dir), dir);
            continue;
        }
        std::vector<fs::path> inside;
        if (fs::is_directory(dir, ec))
            for (const auto& entry : fs::directory_iterator(dir, ec))
                if (entry.is_directory(ec) && isParticipant(entry.path())) inside.push_back(entry.path());
        if (inside.empty()) {
            err << "corvanel-eval: " << printableName(dir.string()) << " holds no lines/ or words/ folder, nor sub-folders that do\n";
            return std::nullopt;
        }
        std::sort(inside.begin(), inside.end());
        for (const fs::path& p : inside) found.emplace_back(p.filename().string(), p);
    }
    return found;
}

int runRank(const Options& o, RunSettings s, const Weights& w, std::ostream& out, std::ostream& err, bool progressOn) {
    const auto participants = participantsOf(o.participants, err);
    if (!participants) return kBadArguments;
    const std::vector<std::string> names = listPages(s.workspace / "images");
    struct Entry {
        std::string name;
        Pooled lines, words;
        double overall = 0;
    };
    std::vector<Entry> board;
    std::vector<SweepRow> sweep;
    bool ok = true;
    for (const auto& [name, folder] : *participants) {
        Entry entry{name, {}, {}, 0};
        s.resultsRoot = folder;
        for (const Level level : {Level::Lines, Level::Words}) {
            s.level = level;
            const char* levelName = level == Level::Words ? "words" : "lines";
            const std::string prefix = name + ": ";
            const LevelRun run = runLevel(o, s, w, names, nullptr, prefix, err, progressOn);
            if (run.fatal) return kOutOfMemory;
            summarise(run, levelName, prefix, err);
            if (o.strict && run.totals.pages < static_cast<std::int64_t>(run.listed)) ok = false;
            (level == Level::Words ? entry.words : entry.lines) = run.totals;
            addSweep(sweep, name, levelName, s, run, w);
        }
        // A level without a score counts as 0.
        entry.overall = (entry.lines.FM.value_or(0) + entry.words.FM.value_or(0)) / 2;
        board.push_back(std::move(entry));
    }
    std::stable_sort(board.begin(), board.end(), [](const Entry& a, const Entry& b) {
        return a.overall != b.overall ? a.overall > b.overall : a.name < b.name;
    });

    Row header{"rank", "participant", "overall"};
    for (const char* level : {"lines", "words"})
        for (const char* column : {"pages", "N", "M", "one2one", "DR", "RA", "FM"})
            header.push_back(std::string(level) + " " + column);
    auto rows = [&](bool exact) {
        std::vector<Row> table;
        const auto number = exact ? exactNumber : twoDecimals;
        for (std::size_t k = 0; k < board.size(); ++k) {
            const Entry& e = board[k];
            Row row{std::to_string(k + 1), e.name, number(e.overall)};
            for (const Pooled* p : {&e.lines, &e.words})
                for (const std::string& field :
                     {std::to_string(p->pages), std::to_string(p->counts.N), std::to_string(p->counts.M),
                      std::to_string(p->counts.one2one), number(p->DR), number(p->RA), number(p->FM)})
                    row.push_back(field);
            table.push_back(std::move(row));
        }
        return table;
    };
    out << textTable(header, rows(false));
    if (!sweep.empty()) out << "\n" << textTable(kSweepColumns, sweepRows(sweep, false));

    if (o.json) {
        Json json = settingsJson(o, s, w);
        Json list = Json::array();
        for (std::size_t k = 0; k < board.size(); ++k) {
            const Entry& e = board[k];
            auto level = [](const Pooled& p) {
                return Json{{"pages_evaluated", p.pages}, {"N", p.counts.N},       {"M", p.counts.M},
                            {"one2one", p.counts.one2one}, {"DR", optionalJson(p.DR)}, {"RA", optionalJson(p.RA)},
                            {"FM", optionalJson(p.FM)}};
            };
            list.push_back({{"name", printableName(e.name)}, {"rank", k + 1}, {"overall", e.overall}, {"lines", level(e.lines)},
                            {"words", level(e.words)}});
        }
        json["participants"] = std::move(list);
        if (!sweep.empty()) json["sweep"] = sweepJson(sweep);
        ok = writeOutput("JSON file", *o.json, json.dump(2) + "\n", err) && ok;
    }
    if (o.csv)
        ok = writeOutput("CSV file", *o.csv,
                         sweep.empty() ? csvTable(header, rows(true)) : csvTable(kSweepColumns, sweepRows(sweep, true)),
                         err) &&
             ok;
    if (o.markdown) ok = writeOutput("Markdown file", *o.markdown, markdownTable(header, rows(false)), err) && ok;
    if (o.plot) ok = writePlotFile(o, sweep, err) && ok;
    return ok ? kSuccess : kFailure;
}

}  // namespace

int run(const Options& o, std::ostream& out, std::ostream& err, bool progress) {
    const auto refuse = [&](const std::string& why) {
        err << "corvanel-eval: " << printableName(why) << "\n";
        return kBadArguments;
    };
    RunSettings s;
    s.workspace = o.workspace;
    s.level = o.level == "words" ? Level::Words : Level::Lines;
    s.readHeader = o.header;
    s.threshold = parseThreshold(o.threshold);
    s.gtRoot = o.gt.value_or(fs::path());
    s.resultsRoot = o.results.value_or(fs::path());
    s.diagnose = o.json || o.errorImages;
    const std::optional<WeightTexts> weights = splitWeights(o.weights);
    const auto parsed = weights ? parseWeights(*weights) : std::variant<Weights, std::string>(std::string());
    const Weights* w = std::get_if<Weights>(&parsed);
    if (!w || w->w1 < 0 || w->w2 < 0 || w->w3 < 0)
        return refuse("--weights takes three numbers separated by commas, none negative, such as 100,0,0 (it is '" +
                      o.weights + "')");
    s.weights = *weights;
    if (const std::string problem = runProblem(s); !problem.empty()) return refuse(problem);
    if (o.sweep) {
        const auto thresholds = parseSweep(*o.sweep);
        if (!thresholds)
            return refuse("--sweep takes FROM:TO:STEP, whole numbers with 1 <= FROM <= TO <= 100 and STEP >= 1 (it is '" +
                          *o.sweep + "')");
        s.sweep = *thresholds;
    }
    if (o.errorImages) {
        std::error_code ec;
        fs::create_directories(*o.errorImages, ec);
        if (!fs::is_directory(*o.errorImages, ec))
            return refuse("cannot create the folder " + o.errorImages->string() + " for --error-images");
    }
    if (o.rank) return runRank(o, s, *w, out, err, progress);
    return o.page ? runPage(o, s, *w, out, err) : runAll(o, s, *w, out, err, progress);
}

}  // namespace corvanel::cli
