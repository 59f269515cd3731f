// A whole batch through corvanel-eval's run, serial and on two threads,
// against the floor: merely reading every label map of the level. With
// --error-images, against the PNG encoder alone on the same pictures.

#include "bench/bench_support.h"
#include "cli/evaluator.h"
#include "cli/qt_parts.h"
#include "imaging/errorview.h"
#include "run/runner.h"
#include "run/workspace.h"
#include "tools/workspace.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

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

const Workspace& workspace() {
    static const Workspace ws = [] {
        Workspace w(fs::temp_directory_path() / ("corvanel-batch-bench-" + std::to_string(::getpid())));
        synth::PageLayout layout;  // 2500 x 3500, 30 lines of 10 words
        synth::writeWorkspace(w.root(), kPages, layout);
        return w;
    }();
    return ws;
}

cli::Options optionsAt(Level level, unsigned jobs) {
    cli::Options options;
    options.workspace = workspace().root();
    options.level = level;
    options.jobs = jobs;
    options.report = workspace().root() / "bench-results.txt";
    return options;
}

void Floor(benchmark::State& state, Level level) {
    const std::vector<std::string> pages = workspace().pages();
    for (auto _ : state)
        for (const std::string& name : pages)
            for (const MapKind side : {MapKind::GroundTruth, MapKind::Result})
                benchmark::DoNotOptimize(readRaw(workspace().mapPath(side, level, name)));
}

void Batch(benchmark::State& state, Level level, bool errorImages) {
    cli::Options options = optionsAt(level, static_cast<unsigned>(state.range(0)));
    if (errorImages) options.errorImages = workspace().root() / "bench-errors";
    for (auto _ : state) {
        std::ostringstream out, err;
        if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
    }
}

// A 51-step sweep at one level, against the single-threshold Batch above.
void Sweep(benchmark::State& state, Level level) {
    cli::Options options = optionsAt(level, 1);
    for (std::int32_t T = 50; T <= 100; ++T) options.sweep.push_back(T);
    for (auto _ : state) {
        std::ostringstream out, err;
        if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
    }
}

// Five participants (all the generator's result, through links) ranked at
// both levels, against the ten single batches it replaces, with two jobs.
const fs::path& participants() {
    static const fs::path dir = [] {
        const fs::path d = workspace().participantFolder("");
        for (int k = 1; k <= 5; ++k) {
            const fs::path p = workspace().participantFolder("p" + std::to_string(k));
            fs::create_directories(p);
            for (const Level level : {Level::Lines, Level::Words})
                fs::create_directory_symlink(Workspace::levelFolder(workspace().resultsFolder(), level),
                                             Workspace::levelFolder(p, level));
        }
        return d;
    }();
    return dir;
}

void Rank(benchmark::State& state) {
    cli::Options options = optionsAt(Level::Lines, 2);
    options.report.reset();
    options.rank.chosen = true;
    options.rank.participants = {participants()};
    for (auto _ : state) {
        std::ostringstream out, err;
        if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
    }
}

void TenSingleBatches(benchmark::State& state) {
    for (auto _ : state)
        for (int k = 1; k <= 5; ++k)
            for (const Level level : {Level::Lines, Level::Words}) {
                cli::Options options = optionsAt(level, 2);
                options.results = workspace().participantFolder("p" + std::to_string(k));
                std::ostringstream out, err;
                if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
            }
}

// Only the PNG encoder, on the error views the batch writes, one page after another.
void PngEncoder(benchmark::State& state, Level level) {
    std::vector<QImage> views;
    RunSettings s;
    s.level = level;
    s.diagnose = s.keepMaps = true;
    for (const std::string& name : workspace().pages()) {
        const PageOutcome page = evaluatePage(workspace(), s, name, PageSize{2500, 3500});
        const QImage image = QImageReader(QString::fromStdString(workspace().pageImage(name).string())).read();
        views.push_back(imaging::paintErrorView(image, *page.evaluation.gtMap, *page.evaluation.rsMap,
                                                *page.evaluation.diagnosis));
    }
    for (auto _ : state)
        for (const QImage& view : views) {
            QBuffer buffer;
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "png");
            writer.setQuality(static_cast<int>(state.range(0)));
            writer.write(view);
            state.counters["bytes"] = static_cast<double>(buffer.size());
            benchmark::DoNotOptimize(buffer.data().size());
        }
}

const bool registered = [] {
    for (const Level level : {Level::Lines, Level::Words}) {
        const std::string name = levelName(level);
        benchmark::RegisterBenchmark(("Floor/" + name).c_str(), Floor, level)
            ->Unit(benchmark::kMillisecond);
        for (const bool images : {false, true})
            benchmark::RegisterBenchmark(((images ? "BatchErrorImages/" : "Batch/") + name).c_str(), Batch, level,
                                         images)
                ->ArgName("jobs")
                ->Arg(1)
                ->Arg(2)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        benchmark::RegisterBenchmark(("Sweep51/" + name).c_str(), Sweep, level)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("PngEncoder/" + name).c_str(), PngEncoder, level)
            ->ArgName("quality")->Arg(-1)->Arg(cli::kErrorImageQuality)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("Rank/5participants/jobs:2", Rank)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("TenSingleBatches/jobs:2", TenSingleBatches)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    workspace();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(workspace().root());
}
