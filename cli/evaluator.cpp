#include "evaluator.h"

#include "batch.h"
#include "errorview.h"
#include "imagesize.h"

#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

namespace corvanel::cli {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::optional<int> parse(int argc, const char* const* argv, Options& o, std::ostream& out, std::ostream& err) {
    CLI::App app{"Scores segmentation results against the ground truth of a workspace.\n"
                 "Without --page, evaluates every page of WORKSPACE/images and writes WORKSPACE/Results.txt.",
                 "corvanel-eval"};
    o.jobs = std::max(1u, std::thread::hardware_concurrency());
    app.add_option("WORKSPACE", o.workspace, "Folder holding images/, gt/ and results/")
        ->required()
        ->type_name("FOLDER");
    app.add_option("--level", o.level, "Segmentation level")
        ->check(CLI::IsMember({"lines", "words"}))
        ->capture_default_str();
    app.add_option("--threshold", o.threshold,
                   "Match threshold in percent, read as the MC_thres(%) field reads it: "
                   "a text that is not a whole number gives 95")
        ->capture_default_str();
    app.add_flag("--header", o.header, "Label maps begin with an 8-byte width and height header");
    app.add_option("--page", o.page, "Evaluate only this page of WORKSPACE/images; no report is written")
        ->type_name("NAME");
    app.add_option("--weights", o.weights, "Weights W1,W2,W3 for one2one, one2many and many2one")
        ->capture_default_str();
    app.add_option("--jobs", o.jobs, "Pages evaluated in parallel (default: the number of cores)")
        ->check(CLI::PositiveNumber);
    app.add_option("--json", o.json, "Also write per-page details and totals as JSON to FILE")->type_name("FILE");
    app.add_option("--report", o.report, "Write the report to FILE instead of WORKSPACE/Results.txt")
        ->type_name("FILE");
    app.add_option("--error-images", o.errorImages,
                   "For every evaluated page write FOLDER/<page>.<level>.errors.png: the page with each region "
                   "coloured by what the matching made of it (the viewer's error view)")
        ->type_name("FOLDER");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        app.exit(e, out, err);
        return kBadArguments;
    }
    std::error_code ec;
    if (!fs::is_directory(o.workspace, ec)) {
        err << "corvanel-eval: no workspace folder at " << o.workspace.string() << "\n";
        return kBadArguments;
    }
    if (!fs::is_directory(o.workspace / "images", ec)) {
        err << "corvanel-eval: no images folder in " << o.workspace.string() << "\n";
        return kBadArguments;
    }
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
    Json page{{"name", name}, {"evaluated", e != nullptr}};
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
    page["messages"] = messages;
    return page;
}

bool writeJson(const fs::path& path, const Json& json, std::ostream& err) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << json.dump(2) << "\n";
    file.close();
    if (file) return true;
    err << "Cannot write the JSON file " << path.string() << "\n";
    return false;
}

Json settingsJson(const Options& o, const RunSettings& s, const Weights& w) {
    return Json{{"workspace", o.workspace.string()},
                {"level", o.level},
                {"threshold", s.threshold},
                {"weights", {w.w1, w.w2, w.w3}}};
}

QString qtPath(const fs::path& path) { return QFile::decodeName(path.c_str()); }

// Writes the page's error view into `folder`, whole or not at all; the
// reason when it could not. The maps are read again, slice by slice, to
// paint it with the evaluation's diagnosis.
std::optional<std::string> writeErrorImage(const fs::path& folder, const RunSettings& s, const fs::path& pageImage,
                                           Level level, const PageEvaluation& e) {
    const fs::path target = folder / imaging::errorImageName(pageImage.filename().string(), level);
    const auto failed = [&](const std::string& why) { return "Cannot write the error image " + target.string() + ": " + why; };
    QImageReader reader(qtPath(pageImage));
    reader.setAutoTransform(false);
    imaging::ErrorViewPainter painter(reader.read(), e.size, *e.diagnosis);
    auto gtOpened = LabelMapFile::open(labelMapPath(s.workspace, MapKind::GroundTruth, level, pageImage), s.readHeader, e.size);
    auto rsOpened = LabelMapFile::open(labelMapPath(s.workspace, MapKind::Result, level, pageImage), s.readHeader, e.size);
    for (auto* opened : {&gtOpened, &rsOpened})
        if (const auto* error = std::get_if<ReadError>(opened)) return failed(error->message);
    auto& gt = std::get<LabelMapFile>(gtOpened);
    auto& rs = std::get<LabelMapFile>(rsOpened);
    constexpr std::size_t kSlice = std::size_t{1} << 15;
    std::vector<std::int32_t> gtSlice(kSlice), rsSlice(kSlice);
    for (std::size_t done = 0, labels = gt.labelCount(); done < labels; done += kSlice) {
        const std::size_t n = std::min(kSlice, labels - done);
        for (auto [file, slice] : {std::pair{&gt, &gtSlice}, std::pair{&rs, &rsSlice}})
            if (const auto error = file->read(slice->data(), n)) return failed(error->message);
        painter.add(gtSlice.data(), rsSlice.data(), n);
    }
    const QImage view = painter.finish();
    if (view.isNull()) return failed("not enough memory");
    QSaveFile file(qtPath(target));
    QImageWriter writer(&file, "png");
    writer.setQuality(kErrorImageQuality);
    if (!file.open(QIODevice::WriteOnly) || !writer.write(view) || !file.commit()) {
        const QString why = writer.error() != QImageWriter::UnknownError ? writer.errorString() : file.errorString();
        return failed(why.toStdString());
    }
    return std::nullopt;
}

// Evaluates pages on `jobs` threads and hands the outcomes over in list order.
class ParallelPages {
public:
    ParallelPages(const RunSettings& settings, const std::vector<std::string>& names, unsigned jobs,
                  const std::optional<fs::path>& errorImages)
        : settings_(settings), names_(names), errorImages_(errorImages), done_(names.size()) {
        const std::size_t workers = std::min<std::size_t>(jobs, names.size());
        if (workers <= 1) return;  // evaluated on the caller's thread, one by one
        for (std::size_t w = 0; w < workers; ++w) threads_.emplace_back([this] { work(); });
    }
    ~ParallelPages() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
    }

    PageOutcome take(std::size_t i) {
        if (threads_.empty()) return evaluate(i);
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return done_[i].has_value(); });
        PageOutcome page = std::move(*done_[i]);
        done_[i].reset();
        return page;
    }

    // Some page's error image could not be written.
    bool imageFailed() const { return imageFailed_; }

private:
    PageOutcome evaluate(std::size_t i) {
        PageOutcome page = evaluateBatchPage(settings_, names_[i], settings_.level, true, imaging::readImageSize);
        if (errorImages_ && page.evaluated) {
            if (auto problem = writeErrorImage(*errorImages_, settings_, pagePath(settings_.workspace, names_[i]),
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

int runPage(const Options& o, const RunSettings& s, const Weights& w, std::ostream& out, std::ostream& err) {
    const fs::path path = pagePath(s.workspace, *o.page);
    const std::optional<PageSize> size = imaging::readImageSize(path);
    if (!size) {
        err << "Cannot read the page image " << *o.page << "; the page was not evaluated\n";
        return kFailure;
    }
    const PageEvaluation e = evaluateSinglePage(s, path, *size);
    for (const std::string& m : e.messages) err << m << "\n";
    if (e.fatal) return kOutOfMemory;
    if (!e.success) return kFailure;
    printCounts(out, e.counts, e.rates);
    bool ok = true;
    if (o.errorImages)
        if (auto problem = writeErrorImage(*o.errorImages, s, path, s.level, e)) {
            err << *problem << "\n";
            ok = false;
        }
    if (o.json) {
        Json json = settingsJson(o, s, w);
        json["pages"] = Json::array({pageJson(*o.page, &e, e.messages)});
        if (!writeJson(*o.json, json, err)) return kFailure;
    }
    return ok ? kSuccess : kFailure;
}

int runAll(const Options& o, const RunSettings& s, const Weights& w, std::ostream& out, std::ostream& err,
           bool progressOn) {
    const std::vector<std::string> names = listPages(s.workspace / "images");
    BatchReport report(o.report.value_or(reportPath(s.workspace)));
    if (!report.problem().empty()) err << report.problem() << "\n";
    const bool reportWasFine = report.problem().empty();

    Json pagesJson = Json::array();
    Progress progress(err, progressOn);
    bool fatal = false;
    bool imagesWritten = true;
    {
        ParallelPages pages(s, names, o.jobs, o.errorImages);
        for (std::size_t i = 0; i < names.size() && !fatal; ++i) {
            progress.show(i + 1, names.size(), names[i]);
            const PageOutcome page = pages.take(i);
            if (!page.messages.empty()) progress.clear();
            for (const std::string& m : page.messages) err << m << "\n";
            report.addPage(page);
            fatal = page.evaluation.fatal;
            if (o.json) pagesJson.push_back(pageJson(page.name, page.evaluated ? &page.evaluation : nullptr, page.messages));
        }
        imagesWritten = !pages.imageFailed();
    }
    progress.clear();
    const BatchResult result = report.finish(w);
    if (reportWasFine && !report.problem().empty()) err << report.problem() << "\n";
    if (fatal) return kOutOfMemory;

    printCounts(out, result.sums, result.rates);
    out << "Im.: " << result.evaluatedPages << "\n";
    bool ok = report.problem().empty() && imagesWritten;
    if (o.json) {
        Json json = settingsJson(o, s, w);
        json["pages"] = std::move(pagesJson);
        Json totals{{"pages_evaluated", result.evaluatedPages}};
        totals.update(countsJson(result.sums, result.rates));
        json["totals"] = std::move(totals);
        ok = writeJson(*o.json, json, err) && ok;
    }
    return ok ? kSuccess : kFailure;
}

}  // namespace

int run(const Options& o, std::ostream& out, std::ostream& err, bool progress) {
    RunSettings s;
    s.workspace = o.workspace;
    s.level = o.level == "words" ? Level::Words : Level::Lines;
    s.readHeader = o.header;
    s.threshold = parseThreshold(o.threshold);
    s.diagnose = o.json || o.errorImages;
    const std::optional<WeightTexts> weights = splitWeights(o.weights);
    if (!weights) {
        err << "corvanel-eval: --weights takes three texts separated by commas, such as 100,0,0\n";
        return kBadArguments;
    }
    s.weights = *weights;
    if (const std::string problem = runProblem(s); !problem.empty()) {
        err << "corvanel-eval: " << problem << "\n";
        return kBadArguments;
    }
    const Weights w = std::get<Weights>(parseWeights(s.weights));
    if (o.errorImages) {
        std::error_code ec;
        fs::create_directories(*o.errorImages, ec);
        if (!fs::is_directory(*o.errorImages, ec)) {
            err << "corvanel-eval: cannot create the folder " << o.errorImages->string() << " for --error-images\n";
            return kBadArguments;
        }
    }
    return o.page ? runPage(o, s, w, out, err) : runAll(o, s, w, out, err, progress);
}

}  // namespace corvanel::cli
