// Time per page of the engine against the floor (reading both label maps
// from a warm cache) and against the literal dense algorithm, on 2500 x 3500
// synthetic pages at line level, word level and a dense word level.

#include "dense_reference.h"
#include "bench_support.h"
#include "evaluate.h"
#include "synth.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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

fs::path workspace() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("corvanel-bench-" + std::to_string(::getpid()));
        for (const Case& c : kCases) {
            synth::PageLayout layout;
            layout.lines = c.lines;
            layout.wordsPerLine = c.wordsPerLine;
            const synth::SyntheticPage page = synth::makePage(layout);
            const std::string name = std::string(c.name) + ".tif.dat";
            const bool lines = c.level == Level::Lines;
            synth::writeLabelMap(d / "gt" / (lines ? "lines" : "words") / name, lines ? page.gtLines : page.gtWords);
            synth::writeLabelMap(d / "results" / (lines ? "lines" : "words") / name,
                                 lines ? page.rsLines : page.rsWords);
        }
        return d;
    }();
    return dir;
}

PageRequest request(const Case& c) {
    PageRequest r;
    r.page = {workspace(), workspace() / "images" / (std::string(c.name) + ".tif"), c.level, false};
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
    const fs::path gt = labelMapPath(r.page.workspace, MapKind::GroundTruth, c->level, r.page.pagePath);
    const fs::path rs = labelMapPath(r.page.workspace, MapKind::Result, c->level, r.page.pagePath);
    for (auto _ : state) benchmark::DoNotOptimize(readRaw(gt) + readRaw(rs));
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
    ReadResult gt = ReadGT(r.page, size);
    ReadResult rs = ReadRS(r.page, size);
    for (auto _ : state) benchmark::DoNotOptimize(evaluateMaps(gt.map(), rs.map(), r.threshold, Weights{}, true));
}

void Dense(benchmark::State& state, const Case* c) {
    const PageRequest r = request(*c);
    Counts counts;
    for (auto _ : state) {
        PageSize size = r.size;
        ReadResult gt = ReadGT(r.page, size);
        ReadResult rs = ReadRS(r.page, size);
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
        benchmark::RegisterBenchmark((std::string("Dense/") + c.name).c_str(), Dense, &c)->Unit(benchmark::kMillisecond);
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
