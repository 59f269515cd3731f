#include "run/session.h"

#include "corvanel_version.h"
#include "run/bootstrap.h"
#include "run/files.h"
#include "run/site.h"
#include "run/report.h"
#include "run/writers.h"

#include <set>

#include <sys/stat.h>

namespace corvanel {

namespace fs = std::filesystem;

namespace {

// Says each line on stderr, `prefix` (a participant's name) first.
void sayLines(const Console& console, const std::vector<std::string>& lines, const std::string& prefix = {}) {
    for (const std::string& line : lines) console.err(printableName(prefix + line));
}

void say(const Console& console, const Failure& failure) { console.err(printableName(toolLine(failure))); }

// The run's outcome from what failed along the way.
class Status {
public:
    void fail() { failed_ = true; }
    // Writes a file; a failure is said and fails the run.
    void write(const Console& console, const std::string& what, const fs::path& path, const std::string& text) {
        if (auto failure = writeOutput(what, path, text)) {
            say(console, *failure);
            fail();
        }
    }
    void finish(const Console& console, JsonReport& json) {
        if (auto failure = json.finish()) {
            say(console, *failure);
            fail();
        }
    }
    // Under the caption of the boards, without the bootstrap's part.
    void plot(const Console& console, const Services& services, const fs::path& path,
              const std::vector<SweepPoint>& points, BoardFacts facts) {
        std::vector<SweepPoint> named = points;
        for (SweepPoint& p : named) p.participant = printableName(p.participant);
        facts.draws = 0;
        if (auto why = services.plot(path, curves(named), "FM, DR and RA against the threshold. " + boardCaption(facts))) {
            console.err(printableName(*why));
            fail();
        }
    }
    RunStatus status() const { return failed_ ? RunStatus::Failed : RunStatus::Done; }

private:
    bool failed_ = false;
};

// Where a participant's error images go: a ranking gives each its own folder.
fs::path errorImageFolder(const Job& job, const std::string& participant, bool ranking) {
    return ranking ? *job.outputs.errorImages / participant : *job.outputs.errorImages;
}

// The error image of a page just evaluated, from the maps it was evaluated from.
ErrorImageRequest errorImageOf(const Job& job, const Workspace& ws, const RunSettings& s, const PageOutcome& page,
                               bool ranking = false) {
    const std::string participant = ws.resultsParticipant().name;
    return {errorImageFolder(job, participant, ranking), ws.pageImage(page.name), s.level, &page.request,
            &page.evaluation, participant, s.threshold, job.outputs.html.has_value()};
}

RunHooks hooksFor(const Job& job, const Services& services, const Console& console, bool ranking = false) {
    RunHooks hooks;
    hooks.imageSize = services.imageSize;
    hooks.progress = console.progress;
    // The error images, painted by the workers from the maps just evaluated;
    // none for a page whose result was missing.
    if (job.outputs.errorImages)
        hooks.afterPage = [&job, &services, ranking](const Workspace& ws, const RunSettings& s,
                                                     const PageOutcome& page) -> std::optional<Failure> {
            if (page.foundNothing) return std::nullopt;
            return services.errorImage(errorImageOf(job, ws, s, page, ranking));
        };
    return hooks;
}

bool skippedAny(const LevelRun& run) { return run.totals.pages < static_cast<std::int64_t>(run.listed); }

// "2 of 3 pages evaluated (lines)" when some were not.
void summarise(const Console& console, const LevelRun& run, const std::string& prefix) {
    if (skippedAny(run))
        console.err(printableName(prefix) + std::to_string(run.totals.pages) + " of " + std::to_string(run.listed) +
                    " pages evaluated (" + levelName(run.level) + ")");
}

}  // namespace

namespace {

// A folder as the system knows it: device and inode when it is there, else
// its path.
struct FolderId {
    dev_t device = 0;
    ino_t inode = 0;
    fs::path path;
    friend bool operator==(const FolderId&, const FolderId&) = default;
};

FolderId folderId(const fs::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) return {info.st_dev, info.st_ino, {}};
    std::error_code ec;
    return {0, 0, fs::absolute(folder, ec).lexically_normal()};
}

}  // namespace

std::optional<std::string> overwritesAnInput(const Job& job, const std::vector<Participant>& participants,
                                            bool ranking) {
    const Workspace& ws = job.workspace;
    const std::vector<std::string> pages = ws.pages();
    const std::set<std::string> pageNames(pages.begin(), pages.end());
    std::vector<Level> levels{job.settings.level};
    if (ranking) levels = {Level::Lines, Level::Words};
    // The folders the run reads from, and what their inputs are: the page
    // images themselves, their maps (the page's name and ".dat" or ".png"),
    // or their polygon files (the name's stem and ".xml"): a few system
    // calls, whatever the number of pages.
    enum class Inputs { Images, Maps, Documents };
    std::vector<std::pair<FolderId, Inputs>> inputFolders{{folderId(ws.imagesFolder()), Inputs::Images}};
    std::vector<fs::path> sideFolders{ws.groundTruthFolder()};
    for (const Participant& p : participants) sideFolders.push_back(p.folder);
    for (const fs::path& folder : sideFolders) {
        inputFolders.emplace_back(folderId(folder), Inputs::Documents);
        for (const Level level : levels) inputFolders.emplace_back(folderId(Workspace::levelFolder(folder, level)), Inputs::Maps);
    }
    std::set<std::string> stems;
    for (const std::string& page : pages) stems.insert(fs::path(page).stem().string());
    const auto isInput = [&](const fs::path& file) {
        const std::optional<fs::path> resolved = followLinks(file);
        if (!resolved) return false;
        const FolderId folder = folderId(resolved->has_parent_path() ? resolved->parent_path() : fs::path("."));
        const std::string name = resolved->filename().string();
        const auto ofPage = [&](std::string_view suffix) {
            return name.ends_with(suffix) && pageNames.contains(name.substr(0, name.size() - suffix.size()));
        };
        for (const auto& [id, inputs] : inputFolders) {
            if (id != folder) continue;
            if (inputs == Inputs::Images && pageNames.contains(name)) return true;
            if (inputs == Inputs::Maps && (ofPage(".dat") || ofPage(".png"))) return true;
            if (inputs == Inputs::Documents && name.ends_with(".xml") && stems.contains(fs::path(name).stem().string()))
                return true;
        }
        return false;
    };
    std::vector<std::pair<std::string, fs::path>> outputs;
    if (!ranking) outputs.emplace_back("report", job.outputs.report.value_or(ws.reportPath()));
    for (const auto& [what, file] : {std::pair{"JSON file", &job.outputs.json}, {"CSV file", &job.outputs.csv},
                                     {"Markdown file", &job.outputs.markdown}, {"plot", &job.outputs.plot}})
        if (*file) outputs.emplace_back(what, **file);
    if (job.outputs.errorImages) {
        std::vector<fs::path> folders{*job.outputs.errorImages};
        if (ranking) {
            folders.clear();
            for (const Participant& p : participants) folders.push_back(errorImageFolder(job, p.name, true));
        }
        for (const fs::path& folder : folders)
            for (const std::string& page : pages)
                for (const Level level : levels)
                    outputs.emplace_back("error image", ErrorImageRequest{folder, page, level, nullptr, nullptr}.target());
    }
    for (const auto& [what, file] : outputs)
        if (isInput(file)) return "the " + what + " " + file.string() + " is one of the run's inputs; nothing was written";
    return std::nullopt;
}

fs::path ErrorImageRequest::target() const {
    return folder / (page.filename().string() + "." + levelName(level) + ".errors.png");
}

fs::path ErrorImageRequest::thumbnailTarget() const {
    return folder / (page.filename().string() + "." + levelName(level) + ".errors.thumb.png");
}

namespace {

// "method: 4 of 6 pages submitted (words); the others count as pages where nothing was found"
void summariseSubmitted(const Console& console, const LevelRun& run, const std::string& prefix) {
    if (run.submitted < run.totals.pages)
        console.err(printableName(prefix) + std::to_string(run.submitted) + " of " + std::to_string(run.totals.pages) +
                    " pages submitted (" + levelName(run.level) +
                    "); the others count as pages where nothing was found");
}

// Writes the site with the plot of the sweep, if any.
void writeSiteOf(const Job& job, SiteContent content, const std::vector<SweepPoint>& sweep, const Services& services,
                 const Console& console, Status& status) {
    if (job.outputs.errorImages) content.errorImages = insideSite(*job.outputs.errorImages, *job.outputs.html);
    if (!sweep.empty()) {
        content.plot = "sweep.svg";
        std::error_code ec;
        fs::create_directories(*job.outputs.html, ec);
        status.plot(console, services, *job.outputs.html / *content.plot, sweep, content.facts);
    }
    if (auto failure = writeSite(*job.outputs.html, content)) {
        say(console, *failure);
        status.fail();
    }
}

// `pages`: how many pages the boards are over, from the list the run used.
BoardFacts boardFacts(const Job& job, std::size_t pages, std::int64_t draws) {
    const RunSettings& s = job.settings;
    return {job.workspace.groundTruthFolder(), pages, s.threshold, s.weights, today(),
            CORVANEL_VERSION, draws, kBootstrapSeed};
}

}  // namespace

RunStatus runEvaluation(const Job& job, const Services& services, const Console& console) {
    const Workspace& ws = job.workspace;
    const RunSettings& s = job.settings;
    BatchReport report(job.outputs.report.value_or(ws.reportPath()), /*whole=*/true);
    if (report.failure()) say(console, *report.failure());
    const bool reportWasFine = !report.failure();
    std::optional<JsonReport> json;
    if (job.outputs.json) json.emplace(*job.outputs.json, ws.root(), s.level, s.threshold, s.weights);
    std::vector<Row> csvRows;

    const std::vector<std::string> pages = ws.pages();
    const LevelRun run = runPages(ws, s, pages, job.jobs, hooksFor(job, services, console), [&](const PageOutcome& page) {
        const std::vector<std::string> lines = pageLines(ws, page);
        sayLines(console, lines);
        report.addPage(page);
        if (json) json->addPage(page, lines);
        if (job.outputs.csv) csvRows.push_back(pageRow(page, s.level, lines));
    });
    if (console.progressDone) console.progressDone();
    report.finish();
    if (reportWasFine && report.failure()) say(console, *report.failure());
    if (run.fatal) return RunStatus::OutOfMemory;

    console.out(countsText(run.totals.counts, batchRateTexts(run.totals.rates)) + "Im.: " +
                std::to_string(run.totals.pages) + "\n");
    const std::vector<SweepPoint> sweep = sweepPoints(ws.resultsParticipant().name, run, s.sweep);
    if (!sweep.empty()) console.out("\n" + textTable(kSweepColumns, sweepRows(sweep, false)));
    summarise(console, run, "");

    Status status;
    if (report.failure() || run.afterPageFailed) status.fail();
    if (json) {
        json->setTotals(run.totals);
        if (!sweep.empty()) json->setSweep(sweep);
        status.finish(console, *json);
    }
    if (job.outputs.csv)
        status.write(console, "CSV file", *job.outputs.csv,
                     sweep.empty() ? csvTable(kPageColumns, csvRows) : csvTable(kSweepColumns, sweepRows(sweep, true)));
    const BoardFacts facts = boardFacts(job, pages.size(), 0);
    if (job.outputs.plot) status.plot(console, services, *job.outputs.plot, sweep, facts);
    if (job.outputs.html) {
        Standing one;
        one.participant = ws.resultsParticipant();
        (s.level == Level::Lines ? one.lines : one.words) = run;
        SiteContent site{.facts = facts, .pages = pages, .standings = {std::move(one)}, .onlyLevel = s.level};
        writeSiteOf(job, std::move(site), sweep, services, console, status);
    }
    if (job.strict && skippedAny(run)) status.fail();
    return status.status();
}

RunStatus runOnePage(const Job& job, const std::string& name, const Services& services, const Console& console) {
    const Workspace& ws = job.workspace;
    const RunSettings& s = job.settings;
    CallingThread here;
    const ImageSizeReader size = [&](const fs::path& path) { return services.imageSize(path, here); };
    const PageOutcome page = evaluateBatchPage(ws, s, name, size);
    sayLines(console, pageLines(ws, page));
    if (page.evaluation.fatal) return RunStatus::OutOfMemory;
    if (!page.evaluated) return RunStatus::Failed;
    console.out(countsText(page.evaluation.counts, pageRateTexts(page.evaluation.rates)));

    Status status;
    if (job.outputs.errorImages)
        if (auto failure = services.errorImage(errorImageOf(job, ws, s, page))) {
            say(console, *failure);
            status.fail();
        }
    if (job.outputs.json) {
        JsonReport json(*job.outputs.json, ws.root(), s.level, s.threshold, s.weights);
        json.addPage(page, {});
        status.finish(console, json);
    }
    if (job.outputs.csv)
        status.write(console, "CSV file", *job.outputs.csv, csvTable(kPageColumns, {pageRow(page, s.level, {})}));
    return status.status();
}


RunStatus runRanking(const Job& job, const std::vector<Participant>& participants, const Services& services,
                     const Console& console) {
    const Workspace& ws = job.workspace;
    const RunSettings& s = job.settings;
    Status status;
    if (job.outputs.errorImages)
        for (const Participant& p : participants) {
            std::error_code ec;
            const fs::path folder = errorImageFolder(job, p.name, true);
            fs::create_directories(folder, ec);
            if (!fs::is_directory(folder, ec)) {
                console.err(printableName("Cannot create the folder " + folder.string() + " for error images"));
                return RunStatus::Failed;
            }
        }
    std::vector<SweepPoint> sweep;
    RankingResult ranking = rankParticipants(
        ws, participants, s, job.jobs, hooksFor(job, services, console, true),
        [&](const Participant& p, Level, const PageOutcome& page) { sayLines(console, pageLines(ws, page), p.name + ": "); },
        [&](const Participant& p, const LevelRun& run) {
            if (console.progressDone) console.progressDone();
            summarise(console, run, p.name + ": ");
            summariseSubmitted(console, run, p.name + ": ");
            if (job.strict && (skippedAny(run) || run.submitted < run.totals.pages)) status.fail();
            if (run.afterPageFailed) status.fail();
            const std::vector<SweepPoint> points = sweepPoints(p.name, run, s.sweep);
            sweep.insert(sweep.end(), points.begin(), points.end());
        });
    if (console.progressDone) console.progressDone();
    if (ranking.fatal) return RunStatus::OutOfMemory;
    bootstrapStandings(ranking.standings, s.weights, job.bootstrapDraws);
    const bool drawn = !ranking.standings.empty() && ranking.standings[0].overallSure.has_value();
    const std::vector<std::string> pages = ws.pages();
    const BoardFacts facts = boardFacts(job, pages.size(), drawn ? job.bootstrapDraws : 0);

    console.out(boardsText(ranking.standings, facts, false));
    if (!sweep.empty()) console.out("\n" + textTable(kSweepColumns, sweepRows(sweep, false)));
    if (job.outputs.json) {
        JsonReport json(*job.outputs.json, ws.root(), std::nullopt, s.threshold, s.weights);
        json.setLeaderboard(ranking.standings, facts);
        if (!sweep.empty()) json.setSweep(sweep);
        status.finish(console, json);
    }
    if (job.outputs.csv)
        status.write(console, "CSV file", *job.outputs.csv,
                     sweep.empty() ? csvTable(leaderboardHeader(), leaderboardRows(ranking.standings, true))
                                   : csvTable(kSweepColumns, sweepRows(sweep, true)));
    if (job.outputs.markdown)
        status.write(console, "Markdown file", *job.outputs.markdown, boardsText(ranking.standings, facts, true));
    if (job.outputs.plot) status.plot(console, services, *job.outputs.plot, sweep, facts);
    if (job.outputs.html) {
        SiteContent site{.facts = facts, .pages = pages, .standings = std::move(ranking.standings),
                         .rankedErrorImages = true};
        writeSiteOf(job, std::move(site), sweep, services, console, status);
    }
    return status.status();
}

}  // namespace corvanel
