#include "cli/evaluator.h"

#include "cli/services.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <iostream>

#include "corvanel_version.h"

namespace corvanel::cli {

namespace fs = std::filesystem;

namespace {

// A validator that reads an option's text once, into `into`, or says what
// it should have been.
template <class T>
CLI::Validator reading(T& into, std::function<std::optional<T>(const std::string&)> read, std::string wanted) {
    return CLI::Validator(
        [&into, read = std::move(read), wanted = std::move(wanted)](std::string& text) -> std::string {
            std::optional<T> value = read(text);
            if (!value) return wanted + " (it is '" + text + "')";
            into = std::move(*value);
            return {};
        },
        "", "");
}

std::optional<std::int32_t> readThreshold(const std::string& text) {
    const auto T = parseWholeNumber(text);
    if (!T || *T < 1 || *T > 100) return std::nullopt;
    return T;
}

// More threads than this only cost memory.
constexpr std::int32_t kMostJobs = 256;

std::optional<unsigned> readJobs(const std::string& text) {
    const auto jobs = parseWholeNumber(text);
    if (!jobs || *jobs < 1 || *jobs > kMostJobs) return std::nullopt;
    return static_cast<unsigned>(*jobs);
}

// W1,W2,W3 as the hidden weight fields read them, none negative.
std::optional<Weights> readWeights(const std::string& text) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (parts.size() != 3) return std::nullopt;
    const auto parsed = parseWeights({parts[0], parts[1], parts[2]});
    const Weights* w = std::get_if<Weights>(&parsed);
    if (!w || w->w1 < 0 || w->w2 < 0 || w->w3 < 0) return std::nullopt;
    return *w;
}

// "region" as true, "ink" as false.
std::optional<bool> readPixels(const std::string& text) {
    if (text == "ink") return false;
    if (text == "region") return true;
    return std::nullopt;
}

// FROM:TO:STEP as the thresholds it names.
std::optional<std::vector<std::int32_t>> readSweep(const std::string& text) {
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

// CLI11 puts ": " between an option's name and its validator's words; ours
// read as one sentence with the name ("--jobs must be ...").
std::string failureMessage(const CLI::App* app, const CLI::Error& e) {
    if (dynamic_cast<const CLI::ValidationError*>(&e) == nullptr) return CLI::FailureMessage::simple(app, e);
    std::string text = e.what();
    if (const std::size_t colon = text.find(": "); colon != std::string::npos) text.replace(colon, 2, " ");
    return "corvanel-eval: " + printableName(text) + "\n";
}

// An option whose text a validator reads (see reading()).
CLI::Option* readOption(CLI::App& app, const char* name, const char* description) {
    return app.add_option(name, CLI::callback_t{}, description);
}

}  // namespace

std::optional<int> parse(int argc, const char* const* argv, Options& o, std::ostream& out, std::ostream& err) {
    CLI::App app{"Scores segmentation results against the ground truth of a workspace.\n"
                 "Without --page, evaluates every page of WORKSPACE/images and writes WORKSPACE/Results.txt.\n"
                 "'corvanel-eval rank WORKSPACE DIR...' ranks participants instead; 'corvanel-eval import WORKSPACE OUT'\n"
                 "copies a workspace with every map made a .dat label map; 'corvanel-eval pool FILE...' pools the pages of\n"
                 "--json files scored apart.",
                 "corvanel-eval"};
    app.failure_message(failureMessage);
    app.set_version_flag("--version", "corvanel-eval " CORVANEL_VERSION, "Print the version and exit");
    app.add_option("WORKSPACE", o.workspace, "Folder holding images/, gt/ and results/")->type_name("FOLDER");
    readOption(app, "--level", "Segmentation level: lines or words")
        ->type_name("LEVEL")
        ->default_str(levelName(Level::Lines))
        ->check(reading<Level>(o.level, Workspace::parseLevel, "must be lines or words"));
    readOption(app, "--threshold", "Match threshold in percent, a whole number from 1 to 100")
        ->type_name("T")
        ->default_str("90")
        ->check(reading<std::int32_t>(o.threshold, readThreshold, "must be a whole number from 1 to 100"));
    app.add_flag("--header", o.header, "Label maps begin with an 8-byte width and height header");
    app.add_option("--page", o.page, "Evaluate only this page of WORKSPACE/images; no report is written")
        ->type_name("NAME");
    readOption(app, "--weights",
                   "Weights W1,W2,W3 for one2one, one2many and many2one, none negative (W1 whole, W2 and W3 "
                   "truncated)")
        ->type_name("W1,W2,W3")
        ->default_str("100,0,0")
        ->check(reading<Weights>(o.weights, readWeights,
                                 "takes three numbers separated by commas, none negative, such as 100,0,0"));
    readOption(app, "--jobs",
               "Pages evaluated in parallel, from 1 to 256 (default: the processors this process may use)")
        ->type_name("N")
        ->check(reading<unsigned>(o.jobs, readJobs, "must be a whole number from 1 to 256"));
    app.add_option("--results", o.results,
                   "The participant's folder, holding lines/ and words/ (default WORKSPACE/results)")
        ->type_name("FOLDER");
    app.add_option("--gt", o.gt, "The ground truth's folder, holding lines/ and words/ (default WORKSPACE/gt)")
        ->type_name("FOLDER");
    app.add_option("--json", o.json, "Also write the details and totals as JSON to FILE")->type_name("FILE");
    app.add_option("--csv", o.csv, "Also write a table as CSV to FILE: a row a page (a row a participant with rank, "
                                   "a row a threshold with --sweep)")
        ->type_name("FILE");
    app.add_option("--report", o.report, "Write the report to FILE instead of WORKSPACE/Results.txt")
        ->type_name("FILE");
    app.add_option("--error-images", o.errorImages,
                   "For every evaluated page write FOLDER/<page>.<level>.errors.png: the page with each region "
                   "coloured by what the matching made of it (the viewer's error view)")
        ->type_name("FOLDER");
    readOption(app, "--sweep", "Also score at every threshold FROM, FROM+STEP, ... up to TO (e.g. 50:100:5)")
        ->type_name("FROM:TO:STEP")
        ->check(reading<std::vector<std::int32_t>>(
            o.sweep, readSweep, "takes FROM:TO:STEP, whole numbers with 1 <= FROM <= TO <= 100 and STEP >= 1"));
    app.add_option("--plot", o.plot, "With --sweep: draw FM, DR and RA against the threshold into FILE (.svg or .png)")
        ->type_name("FILE");
    app.add_option("--html", o.html,
                   "Also publish the run as a static site in FOLDER (index.html; it opens from the disk): the "
                   "leaderboards or totals, a page a participant, the sweep's plot, and the error images when "
                   "--error-images names a folder inside FOLDER")
        ->type_name("FOLDER");
    app.add_flag("--strict", o.strict, "Exit 1 when any page could not be evaluated (with rank: or had no result)");
    readOption(app, "--pixels",
               "Which pixels of a PAGE XML or ALTO polygon count: ink (those that are ink in the page image) or "
               "region (all of them)")
        ->type_name("ink|region")
        ->default_str("ink")
        ->check(reading<bool>(o.pixelsRegion, readPixels, "must be ink or region"));
    app.add_flag("--ink-only", o.inkOnly,
                 "Count only the page's ink: both maps, whatever their source, lose every pixel that is not ink "
                 "in the page image");
    CLI::App* rank = addRankCommand(app, o);
    addImportCommand(app, o);
    CLI::App* pool = addPoolCommand(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        app.exit(e, out, err);
        return kBadArguments;
    }
    o.rank.chosen = rank->parsed();
    o.pool.chosen = pool->parsed();
    if (o.pool.chosen) return std::nullopt;

    const auto refuse = [&](const std::string& why) { return cli::refuse(err, why); };
    if (o.workspace.empty()) return refuse("WORKSPACE is required; see --help");
    if (o.plot && o.sweep.empty()) return refuse("--plot needs --sweep");
    if (o.rank.markdown && !o.rank.chosen) return refuse("--markdown goes with rank");
    if (app.count("--bootstrap") && !o.rank.chosen) return refuse("--bootstrap goes with rank");
    if (o.rank.chosen)
        if (auto conflict = rankConflict(o)) return refuse(*conflict);
    return std::nullopt;
}

int run(const Options& o, std::ostream& out, std::ostream& err, bool progress) {
    if (o.rank.chosen) return runRank(o, out, err, progress);
    if (o.importTo) return runImport(o, out, err);
    if (o.pool.chosen) return runPool(o, out, err);
    auto job = jobFor(o, err);
    if (const int* stop = std::get_if<int>(&job)) return *stop;
    const Job& j = std::get<Job>(job);
    if (auto clash = overwritesAnInput(j, {j.workspace.resultsParticipant()}, false)) return refuse(err, *clash);
    const StreamConsole console(out, err, progress);
    const Services services = qtServices(o.errorImages || mayNeedInk(j, {j.workspace.resultsParticipant()}));
    if (o.page) return exitCode(runOnePage(j, *o.page, services, console.console()));
    return exitCode(runEvaluation(j, services, console.console()));
}

}  // namespace corvanel::cli
