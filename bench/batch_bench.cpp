// A whole batch through corvanel-eval's run, serial and on two threads,
// against the floor: merely reading every label map of the level. With
// --error-images, against the PNG encoder alone on the same pictures.

#include "batch.h"
#include "bench_support.h"
#include "errorview.h"
#include "evaluator.h"
#include "qt_parts.h"
#include "workspace.h"

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

void Batch(benchmark::State& state, const char* level, bool errorImages) {
    cli::Options options;
    options.workspace = workspace();
    options.level = level;
    options.jobs = std::to_string(state.range(0));
    options.report = workspace() / "bench-results.txt";
    if (errorImages) options.errorImages = workspace() / "bench-errors";
    for (auto _ : state) {
        std::ostringstream out, err;
        if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
    }
}

// A 51-step sweep at one level, against the single-threshold Batch above.
void Sweep(benchmark::State& state, const char* level) {
    cli::Options options;
    options.workspace = workspace();
    options.level = level;
    options.jobs = "1";
    options.sweep = "50:100:1";
    options.report = workspace() / "bench-results.txt";
    for (auto _ : state) {
        std::ostringstream out, err;
        if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
    }
}

// Five participants (all the generator's result, through links) ranked at
// both levels, against the ten single batches it replaces, with two jobs.
const fs::path& participants() {
    static const fs::path dir = [] {
        const fs::path d = workspace() / "participants";
        for (int k = 1; k <= 5; ++k) {
            fs::create_directories(d / ("p" + std::to_string(k)));
            for (const char* level : {"lines", "words"})
                fs::create_directory_symlink(workspace() / "results" / level, d / ("p" + std::to_string(k)) / level);
        }
        return d;
    }();
    return dir;
}

void Rank(benchmark::State& state) {
    cli::Options options;
    options.workspace = workspace();
    options.rank = true;
    options.jobs = "2";
    options.participants = {participants()};
    for (auto _ : state) {
        std::ostringstream out, err;
        if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
    }
}

void TenSingleBatches(benchmark::State& state) {
    for (auto _ : state)
        for (int k = 1; k <= 5; ++k)
            for (const char* level : {"lines", "words"}) {
                cli::Options options;
                options.workspace = workspace();
                options.level = level;
                options.jobs = "2";
                options.results = participants() / ("p" + std::to_string(k));
                options.report = workspace() / "bench-results.txt";
                std::ostringstream out, err;
                if (cli::run(options, out, err, false) != 0) state.SkipWithError(err.str().c_str());
            }
}

// Only the PNG encoder, on the error views the batch writes, one page after another.
void PngEncoder(benchmark::State& state, const char* level) {
    std::vector<QImage> views;
    RunSettings s;
    s.workspace = workspace();
    s.level = std::string_view(level) == "words" ? Level::Words : Level::Lines;
    s.diagnose = s.keepMaps = true;
    for (const std::string& name : listPages(workspace() / "images")) {
        const PageOutcome page = evaluateBatchPage(s, name, s.level, true, [](const fs::path&) {
            return std::optional<PageSize>(PageSize{2500, 3500});
        });
        const QImage image = QImageReader(QString::fromStdString(pagePath(s.workspace, name).string())).read();
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
    for (const char* level : {"lines", "words"}) {
        benchmark::RegisterBenchmark((std::string("Floor/") + level).c_str(), Floor, level)
            ->Unit(benchmark::kMillisecond);
        for (const bool images : {false, true})
            benchmark::RegisterBenchmark((std::string(images ? "BatchErrorImages/" : "Batch/") + level).c_str(), Batch,
                                         level, images)
                ->ArgName("jobs")
                ->Arg(1)
                ->Arg(2)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("Sweep51/") + level).c_str(), Sweep, level)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("PngEncoder/") + level).c_str(), PngEncoder, level)
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
    fs::remove_all(workspace());
}
