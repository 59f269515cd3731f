#pragma once

// corvanel-eval: options, parsing and the run, apart from main() so tests can
// drive them directly.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace corvanel::cli {

struct Options {
    std::filesystem::path workspace;
    std::string level = "lines";
    std::string threshold = "90";
    bool header = false;
    std::optional<std::string> page;
    std::string weights = "100,0,0";
    std::string jobs;  // empty: the number of cores
    std::optional<std::filesystem::path> json;
    std::optional<std::filesystem::path> report;
    std::optional<std::filesystem::path> errorImages;  // folder for <page>.<level>.errors.png
    std::optional<std::filesystem::path> results;      // a participant's folder; default WORKSPACE/results
    std::optional<std::filesystem::path> gt;           // default WORKSPACE/gt
    std::optional<std::filesystem::path> csv;
    std::optional<std::filesystem::path> markdown;
    std::optional<std::string> sweep;                  // FROM:TO:STEP
    std::optional<std::filesystem::path> plot;
    bool strict = false;
    bool rank = false;                                 // the rank command
    std::vector<std::filesystem::path> participants;   // its folders
};

enum ExitCode : int { kSuccess = 0, kFailure = 1, kBadArguments = 2, kOutOfMemory = 255 };

// Parses the command line. Returns an exit code when the program should stop
// here (help shown, or bad arguments reported on err).
std::optional<int> parse(int argc, const char* const* argv, Options& options, std::ostream& out,
                         std::ostream& err);

// Runs the evaluation the options ask for; returns the exit code.
int run(const Options& options, std::ostream& out, std::ostream& err, bool progress);

}  // namespace corvanel::cli
