// Time per page of the engine against the floor (reading both label maps
// from a warm cache) and against the literal dense algorithm, on 2500 x 3500
// synthetic pages at line level, word level and a dense word level.

#include "tests/eval/dense_reference.h"
#include "bench/bench_support.h"
#include "eval/evaluate.h"
#include "run/workspace.h"
#include "tools/synth.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <string>

namespace fs = std::filesystem;
using namespace corvanel;
using corvanel::bench::readRaw;

namespace {

struct Case {
    const char* name;
    Level level;
    std::int32_t lines, wordsPerLine;
};

// Line level: ~30 regions a side; word level ~300; dense ~3000.
const Case kCases[] = {
    {"lines", Level::Lines, 30, 10},
    {"words", Level::Words, 30, 10},
    {"dense", Level::Words, 60, 50},
};

const Workspace& workspace() {
    static const Workspace ws = [] {
        Workspace w(fs::temp_directory_path() / ("corvanel-bench-" + std::to_string(::getpid())));
        for (const Case& c : kCases) {
            synth::PageLayout layout;
            layout.lines = c.lines;
            layout.wordsPerLine = c.wordsPerLine;
            const synth::SyntheticPage page = synth::makePage(layout);
            const std::string name = std::string(c.name) + ".tif";
            const bool lines = c.level == Level::Lines;
            synth::writeLabelMap(w.mapPath(MapKind::GroundTruth, c.level, name), lines ? page.gtLines : page.gtWords);
            synth::writeLabelMap(w.mapPath(MapKind::Result, c.level, name), lines ? page.rsLines : page.rsWords);
        }
        return w;
    }();
    return ws;
}

PageRequest request(const Case& c) {
    PageRequest r;
    r.pageName = std::string(c.name) + ".tif";
    r.gtMap = workspace().mapPath(MapKind::GroundTruth, c.level, r.pageName);
    r.rsMap = workspace().mapPath(MapKind::Result, c.level, r.pageName);
    r.size = {2500, 3500};
    return r;
}

// Peak resident memory added by one evaluation, via the kernel's resettable
// high-water mark.
double peakMiBOfOneEvaluation(const PageRequest& r) {
    bench::PeakMemory peak;
    peak.start();
    benchmark::DoNotOptimize(EvaluatePage(r));
    return peak.mibSinceStart();
}

void Floor(benchmark::State& state, const Case* c) {
    const PageRequest r = request(*c);
    for (auto _ : state) benchmark::DoNotOptimize(readRaw(r.gtMap) + readRaw(r.rsMap));
}

void Engine(benchmark::State& state, const Case* c) {
    const PageRequest r = request(*c);
    PageEvaluation e;
    for (auto _ : state) {
        e = EvaluatePage(r);
        benchmark::DoNotOptimize(e);
    }
    if (!e.success) state.SkipWithError("evaluation failed");
    state.counters["N"] = static_cast<double>(e.counts.N);
    state.counters["M"] = static_cast<double>(e.counts.M);
    state.counters["one2one"] = static_cast<double>(e.counts.one2one);
    state.counters["mapsMiB"] = 2.0 * 2500 * 3500 * 4 / (1 << 20);
    state.counters["peakMiB"] = peakMiBOfOneEvaluation(r);
}

// Matching alone, on maps already in memory.
void InMemory(benchmark::State& state, const Case* c) {
    const PageRequest r = request(*c);
    PageSize size = r.size;
    ReadResult gt = ReadGT(r.gtMap, false, size);
    ReadResult rs = ReadRS(r.rsMap, false, size);
    for (auto _ : state) benchmark::DoNotOptimize(evaluateMaps(gt.map(), rs.map(), r.threshold, Weights{}));
}

// The same with the per-region diagnosis (bounding boxes, statuses), as
// the Python module's evaluate gives it.
void InMemoryDiagnosed(benchmark::State& state, const Case* c) {
    const PageRequest r = request(*c);
    PageSize size = r.size;
    ReadResult gt = ReadGT(r.gtMap, false, size);
    ReadResult rs = ReadRS(r.rsMap, false, size);
    for (auto _ : state) benchmark::DoNotOptimize(evaluateMaps(gt.map(), rs.map(), r.threshold, Weights{}, true));
}

void Dense(benchmark::State& state, const Case* c) {
    const PageRequest r = request(*c);
    Counts counts;
    for (auto _ : state) {
        PageSize size = r.size;
        ReadResult gt = ReadGT(r.gtMap, false, size);
        ReadResult rs = ReadRS(r.rsMap, false, size);
        counts = reference::denseEvaluate(gt.map(), rs.map(), r.threshold);
        benchmark::DoNotOptimize(counts);
    }
    state.counters["one2one"] = static_cast<double>(counts.one2one);
}

const bool registered = [] {
    for (const Case& c : kCases) {
        benchmark::RegisterBenchmark((std::string("Floor/") + c.name).c_str(), Floor, &c)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Engine/") + c.name).c_str(), Engine, &c)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("InMemory/") + c.name).c_str(), InMemory, &c)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("InMemoryDiagnosed/") + c.name).c_str(), InMemoryDiagnosed, &c)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Dense/") + c.name).c_str(), Dense, &c)->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    // --maps-to=DIR: a copy of the pages' maps for another benchmark of the
    // same run (the Python module's) to read.
    std::optional<fs::path> mapsTo;
    for (int i = 1; i < argc; ++i)
        if (std::string_view arg = argv[i]; arg.starts_with("--maps-to=")) {
            mapsTo = fs::path(arg.substr(10));
            std::copy(argv + i + 1, argv + argc + 1, argv + i);
            --argc;
            break;
        }
    benchmark::Initialize(&argc, argv);
    workspace();
    if (mapsTo) fs::copy(workspace().root(), *mapsTo, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(workspace().root());
}
