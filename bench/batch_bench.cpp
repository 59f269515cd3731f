// A whole batch through corvanel-eval's run, serial and on two threads,
// against the floor: merely reading every label map of the level.

#include "batch.h"
#include "bench_support.h"
#include "evaluator.h"
#include "workspace.h"

#include <benchmark/benchmark.h>

#include <unistd.h>


#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using namespace corvanel;
using corvanel::bench::readRaw;

namespace {

constexpr int kPages = 20;

const fs::path& workspace() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("corvanel-batch-bench-" + std::to_string(::getpid()));
        synth::PageLayout layout;  // 2500 x 3500, 30 lines of 10 words
        synth::writeWorkspace(d, kPages, layout);
        return d;
    }();
    return dir;
}

void Floor(benchmark::State& state, const char* level) {
    const std::vector<std::string> pages = listPages(workspace() / "images");
    for (auto _ : state)
        for (const std::string& name : pages)
            for (const char* side : {"gt", "results"})
                benchmark::DoNotOptimize(readRaw(workspace() / side / level / (name + ".dat")));
}

void Batch(benchmark::State& state, const char* level) {
    cli::Options options;
    options.workspace = workspace();
    options.level = level;
    options.jobs = static_cast<unsigned>(state.range(0));
    options.report = workspace() / "bench-results.txt";
    for (auto _ : state) {
        std::ostringstream out, err;
        if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
    }
}

const bool registered = [] {
    for (const char* level : {"lines", "words"}) {
        benchmark::RegisterBenchmark((std::string("Floor/") + level).c_str(), Floor, level)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Batch/") + level).c_str(), Batch, level)
            ->ArgName("jobs")
            ->Arg(1)
            ->Arg(2)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    workspace();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(workspace());
}
