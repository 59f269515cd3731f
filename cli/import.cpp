// corvanel-eval import: a copy of a workspace whose every map is a .dat, so
// programs that read only label maps read PAGE, ALTO and PNG sources too.

#include "cli/evaluator.h"
#include "cli/services.h"
#include "run/files.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace corvanel::cli {

namespace fs = std::filesystem;

CLI::App* addImportCommand(CLI::App& app, Options& o) {
    CLI::App* import = app.add_subcommand(
        "import", "Write a copy of WORKSPACE into the new folder OUT in which every map is a .dat label map:\n"
                  "the page images copied, .dat maps copied, PNG label images decoded, PAGE XML and ALTO files\n"
                  "drawn at the page's size (their ink pixels, or with --pixels region all of them). The ground\n"
                  "truth goes to OUT/gt, the results and every participant to OUT/results and\n"
                  "OUT/participants/NAME. Evaluating OUT gives the numbers evaluating WORKSPACE gives.\n"
                  "Takes --gt, --results, --header (maps written with their size header) and --pixels.");
    import->add_option("WORKSPACE", o.workspace, "Folder holding images/ and gt/")->type_name("FOLDER")->required();
    import->add_option("OUT", o.importTo, "A folder that does not exist yet, or an empty one")
        ->type_name("FOLDER")
        ->required();
    import->fallthrough();
    return import;
}

int runImport(const Options& o, std::ostream& out, std::ostream& err) {
    auto made = jobFor(o, err);
    if (const int* stop = std::get_if<int>(&made)) return *stop;
    const Job& job = std::get<Job>(made);
    const Workspace& ws = job.workspace;
    const fs::path target = *o.importTo;
    std::error_code ec;
    if (fs::exists(target, ec) && !(fs::is_directory(target, ec) && fs::is_empty(target, ec)))
        return refuse(err, "OUT must be a new or empty folder: " + target.string() + " is not");

    // Where each side's sources go: the ground truth, then each participant.
    struct Copy {
        Workspace from;  // its results folder the participant's
        MapKind side;
        fs::path to;
    };
    std::vector<Copy> copies{{ws, MapKind::GroundTruth, target / "gt"}};
    std::vector<Participant> participants = ws.participants();
    if (o.results) participants = {ws.resultsParticipant()};
    for (const Participant& p : participants) {
        Workspace theirs = ws;
        if (theirs.setResultsFolder(p.folder)) continue;
        const bool results = o.results || p.folder == ws.defaultResultsFolder();
        copies.push_back({theirs, MapKind::Result, results ? target / "results" : target / "participants" / p.name});
    }

    const Services services = qtServices(true);
    CallingThread here;
    std::size_t pages = 0, drawn = 0, copied = 0, failed = 0;
    const auto say = [&](const std::string& line) {
        err << printableName(line) << "\n";
        ++failed;
    };
    for (const std::string& name : ws.pages()) {
        fs::create_directories(target / "images", ec);
        fs::copy_file(ws.pageImage(name), target / "images" / name, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            say("cannot copy the page image " + ws.pageImage(name).string() + ": " + ec.message());
            continue;
        }
        ++pages;
        const std::optional<PageSize> size = services.imageSize(ws.pageImage(name), here);
        // Found once for every side and level of the page.
        PageInk ink(ws.pageImage(name), size.value_or(PageSize{}), job.settings.sources.greyPage);
        for (const Copy& copy : copies)
            for (const Level level : {Level::Lines, Level::Words}) {
                const fs::path to = Workspace::mapIn(copy.to, level, name);
                auto found = copy.from.source(copy.side, level, name);
                if (auto* problem = std::get_if<Failure>(&found)) {
                    say(toolLine(*problem));
                    continue;
                }
                const MapSource& source = std::get<MapSource>(found);
                if (!fs::exists(fs::symlink_status(source.path, ec))) continue;  // nothing to import
                fs::create_directories(to.parent_path(), ec);
                if (source.kind == MapSource::Kind::Dat) {
                    fs::copy_file(source.path, to, ec);
                    if (ec) say("cannot copy " + source.path.string() + ": " + ec.message());
                    else ++copied;
                    continue;
                }
                if (!size) {
                    say(boxText({FailureKind::PageImage, ws.pageImage(name), {}, {}, {}, {}}));
                    continue;
                }
                auto loaded = loadSide(copy.from, job.settings.sources, copy.side, level, name, *size, ink);
                if (auto* problem = std::get_if<Failure>(&loaded)) {
                    problem->level = level;
                    say(toolLine(*problem));
                    continue;
                }
                for (const Failure& note : std::get<LoadedSide>(loaded).notes) err << printableName(toolLine(note)) << "\n";
                if (auto why = writeLabelMap(to, *std::get<LoadedSide>(loaded).map, job.settings.readHeader))
                    say("cannot write " + to.string() + ": " + *why);
                else
                    ++drawn;
            }
    }
    out << "Imported " << pages << " pages into " << printableName(target.string()) << ": " << drawn
        << " maps drawn or decoded, " << copied << " .dat maps copied";
    if (failed) out << ", " << failed << " problems (above)";
    out << "\n";
    return failed ? kFailure : kSuccess;
}

}  // namespace corvanel::cli
