#pragma once

// A run as corvanel-eval makes it: the pages evaluated, what it says of them
// and of the totals, and every file it was asked for. What it says goes out
// through the console's callbacks; what needs Qt (page images other than
// TIFF, error images, plots) comes in as services.

#include "run/runner.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvanel {

struct Console {
    std::function<void(const std::string&)> out;  // text for standard output, as it is
    std::function<void(const std::string&)> err;  // a line for standard error, without its end
    // Before each page: its place, the list's length, its name; and when a list is done.
    std::function<void(std::size_t, std::size_t, const std::string&)> progress;
    std::function<void()> progressDone;
};

// What an error image is painted from: the page, the maps it was evaluated
// from, and their evaluation with its diagnosis; and what its caption says.
// The height of an error image's thumbnail, in pixels.
inline constexpr int kThumbnailHeight = 240;

struct ErrorImageRequest {
    std::filesystem::path folder;  // where <page>.<level>.errors.png goes
    std::filesystem::path page;    // the page image
    Level level = Level::Lines;
    const PageRequest* pixels = nullptr;  // what it was evaluated from
    const PageEvaluation* evaluation = nullptr;
    std::string participant = {};  // the results' name, as its folder's bytes
    std::int32_t threshold = 0;  // percent
    bool thumbnail = false;      // a small copy beside it too, for a web page

    // FOLDER/<page name>.<lines|words>.errors.png
    std::filesystem::path target() const;
    // FOLDER/<page name>.<lines|words>.errors.thumb.png
    std::filesystem::path thumbnailTarget() const;
};

struct Services {
    // A page image's size; see RunHooks.
    std::function<std::optional<PageSize>(const std::filesystem::path&, MainThread&)> imageSize;
    // Writes an error image; the failure when it could not. Called on the
    // workers; needed only with Outputs::errorImages.
    std::function<std::optional<Failure>(const ErrorImageRequest&)> errorImage;
    // Draws the sweep's curves into a file under a caption; why not, in a
    // sentence, when it could not. Needed only with Outputs::plot.
    std::function<std::optional<std::string>(const std::filesystem::path&, const std::vector<Curve>&,
                                             const std::string& caption)>
        plot;
};

// The files a run writes besides what it prints.
struct Outputs {
    std::optional<std::filesystem::path> report;  // instead of the workspace's Results.txt
    std::optional<std::filesystem::path> json, csv, markdown, plot, errorImages;
    std::optional<std::filesystem::path> html;  // a folder for the static site
};

struct Job {
    Workspace workspace;
    RunSettings settings;  // with the sweep's thresholds, if any
    unsigned jobs = 1;
    Outputs outputs;
    bool strict = false;   // a page not evaluated (or, ranked, not submitted) fails the run
    std::int64_t bootstrapDraws = 1000;  // a ranking's confidence; 0 for none
};

enum class RunStatus { Done, Failed, OutOfMemory };

// Why the job would write over one of its own inputs (a page image or a
// label map of the participants it scores at the levels it scores), or
// nothing. The report counts as an output of an evaluation, not of a ranking.
std::optional<std::string> overwritesAnInput(const Job& job, const std::vector<Participant>& participants,
                                            bool ranking);

// Every page of the workspace at the settings' level: the report, the
// totals, the sweep table, the files asked for.
RunStatus runEvaluation(const Job& job, const Services& services, const Console& console);

// One page, no report.
RunStatus runOnePage(const Job& job, const std::string& page, const Services& services, const Console& console);

// The participants at both levels: the leaderboard, the sweep table, the files asked for.
RunStatus runRanking(const Job& job, const std::vector<Participant>& participants, const Services& services,
                     const Console& console);

}  // namespace corvanel
