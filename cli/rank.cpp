// corvanel-eval rank: its own options, and the ranking they ask for.

#include "cli/evaluator.h"
#include "cli/services.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace corvanel::cli {

CLI::App* addRankCommand(CLI::App& app, Options& o) {
    CLI::App* rank = app.add_subcommand(
        "rank", "Rank participants: evaluate each DIR at both levels and print a leaderboard, best first.\n"
                "A DIR holding neither lines/ nor words/ stands for each of its sub-folders that does.\n"
                "A page with ground truth whose result is missing or broken counts as a page where nothing was\n"
                "found. Prints the overall board and one a level, each with its 95% intervals from a bootstrap\n"
                "over pages. Takes the options of corvanel-eval (see corvanel-eval --help) but --level, --page,\n"
                "--report and --results; --error-images FOLDER writes FOLDER/<participant>/...;\n"
                "--markdown FILE writes the boards as Markdown tables.");
    rank->add_option("WORKSPACE", o.workspace, "Folder holding images/ and gt/")->type_name("FOLDER")->required();
    rank->add_option("DIR", o.rank.participants, "Participants' folders")->type_name("DIR")->required();
    // The evaluation's options are the ranking's too.
    rank->fallthrough();
    app.add_option("--markdown", o.rank.markdown, "With rank: also write the leaderboards as Markdown tables to FILE")
        ->type_name("FILE");
    app.add_option("--bootstrap", o.rank.bootstrap,
                   "With rank: draws of the paired bootstrap over pages behind the intervals and the \"above next\" "
                   "shares (seed 1; 0 for none)")
        ->type_name("N")
        ->default_str("1000")
        ->check(CLI::Range(std::int64_t{0}, std::int64_t{1000000}));
    return rank;
}

std::optional<std::string> rankConflict(const Options& o) {
    for (const auto& [given, name] : {std::pair{o.page.has_value(), "--page"}, {o.report.has_value(), "--report"},
                                      {o.results.has_value(), "--results"}})
        if (given) return std::string(name) + " does not go with rank";
    return std::nullopt;
}

int runRank(const Options& o, std::ostream& out, std::ostream& err, bool progress) {
    auto job = jobFor(o, err);
    if (const int* stop = std::get_if<int>(&job)) return *stop;
    const auto participants = Workspace::participantsIn(o.rank.participants);
    if (const auto* why = std::get_if<std::string>(&participants)) return refuse(err, *why);
    const auto& all = std::get<std::vector<Participant>>(participants);
    if (auto clash = overwritesAnInput(std::get<Job>(job), all, true)) return refuse(err, *clash);
    const StreamConsole console(out, err, progress);
    return exitCode(runRanking(std::get<Job>(job), all, qtServices(o.errorImages || mayNeedInk(std::get<Job>(job), all)), console.console()));
}

}  // namespace corvanel::cli
