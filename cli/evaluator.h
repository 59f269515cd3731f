#pragma once

// corvanel-eval: its options, their parsing and the run they ask for, apart
// from main() so tests and benchmarks can drive them directly.

#include "eval/failure.h"
#include "eval/scores.h"

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace corvanel::cli {

// What both commands take, each parsed and checked once.
struct RunOptions {
    std::filesystem::path workspace;
    std::int32_t threshold = 90;
    Weights weights;
    bool header = false;
    unsigned jobs = 0;  // 0: one a processor this process may use
    std::optional<std::filesystem::path> gt, json, csv, plot, html;
    std::vector<std::int32_t> sweep;  // empty: no sweep
    bool strict = false;
    bool pixelsRegion = false;  // --pixels region: polygons count whole
    bool inkOnly = false;
};

// The rank command's own (rank.cpp).
struct RankOptions {
    bool chosen = false;
    std::vector<std::filesystem::path> participants;
    std::optional<std::filesystem::path> markdown;
    std::int64_t bootstrap = 1000;  // draws; 0 for none
};

// The pool command's (pool.cpp).
struct PoolOptions {
    bool chosen = false;
    std::vector<std::filesystem::path> files;
};

struct Options : RunOptions {
    Level level = Level::Lines;
    std::optional<std::string> page;
    std::optional<std::filesystem::path> report, results, errorImages;
    RankOptions rank;
    std::optional<std::filesystem::path> importTo;  // the import command's OUT
    PoolOptions pool;
};

enum ExitCode : int { kSuccess = 0, kFailure = 1, kBadArguments = 2, kOutOfMemory = 255 };

// Parses the command line. Returns an exit code when the program should stop
// here (help shown, or bad arguments reported on err).
std::optional<int> parse(int argc, const char* const* argv, Options& options, std::ostream& out,
                         std::ostream& err);

// Runs the evaluation the options ask for; returns the exit code.
int run(const Options& options, std::ostream& out, std::ostream& err, bool progress);

// rank.cpp: the rank command on `app`, its options going into `options.rank`.
CLI::App* addRankCommand(CLI::App& app, Options& options);
// import.cpp: the import command, and the copy it asks for.
CLI::App* addImportCommand(CLI::App& app, Options& options);
int runImport(const Options& options, std::ostream& out, std::ostream& err);
// pool.cpp: the pool command (its --json into options.json), and the totals it asks for.
CLI::App* addPoolCommand(CLI::App& app, Options& options);
int runPool(const Options& options, std::ostream& out, std::ostream& err);

// Why the options do not go together with rank, or nothing.
std::optional<std::string> rankConflict(const Options& options);
// The ranking the options ask for; returns the exit code.
int runRank(const Options& options, std::ostream& out, std::ostream& err, bool progress);

}  // namespace corvanel::cli
