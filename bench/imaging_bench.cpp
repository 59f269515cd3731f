// The image control on a 2500 x 3500 group-4 page: loading and fitting it,
// with and without its first paint; building an overlay base (8 bits, saved
// to a buffer); loading and painting an overlay.

#include "imaging/imagecontrol.h"
#include "tools/workspace.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPixmap>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
using corvanel::imaging::Bitmap;
using corvanel::imaging::ImageControl;

namespace {

const fs::path& page() {
    static const fs::path path = [] {
        fs::path p = fs::temp_directory_path() / ("corvanel-imaging-bench-" + std::to_string(::getpid()) + ".tif");
        if (!corvanel::synth::writeInkImage(p, corvanel::synth::makePage(corvanel::synth::PageLayout{}).gtWords))
            throw std::runtime_error("cannot write " + p.string());  // 2500 x 3500 group 4
        return p;
    }();
    return path;
}

// The main window's display size.
void showDisplay(ImageControl& control) {
    control.setScrollBars(3);
    control.resize(734, 648);
    control.show();
    QApplication::processEvents();
}

void LoadAndFit(benchmark::State& state) {
    ImageControl display;
    showDisplay(display);
    for (auto _ : state) {
        if (!display.setFileName(page())) state.SkipWithError(display.lastError().toStdString().c_str());
        display.ZoomToFit(2);
    }
}

void LoadFitAndPaint(benchmark::State& state) {
    ImageControl display;
    showDisplay(display);
    for (auto _ : state) {
        display.setFileName(page());
        display.ZoomToFit(2);
        benchmark::DoNotOptimize(display.viewport()->grab());
    }
}

void EightBitsAndSave(benchmark::State& state) {
    ImageControl source, hidden;
    source.setFileName(page());
    hidden.setSaveToBuffer(true);
    for (auto _ : state) {
        state.PauseTiming();
        hidden.setHDIB(source.CopyDIB());
        state.ResumeTiming();
        hidden.ColorDepth(8, 1, 0);
        if (!hidden.SaveFile()) state.SkipWithError(hidden.lastError().toStdString().c_str());
        benchmark::DoNotOptimize(hidden.takeSaveBuffer());
    }
}

void LoadBufferAndPaint(benchmark::State& state) {
    ImageControl hidden, display;
    hidden.setFileName(page());
    hidden.ColorDepth(8, 1, 0);
    hidden.setSaveToBuffer(true);
    hidden.SaveFile();
    const auto overlay = hidden.takeSaveBuffer();
    showDisplay(display);
    for (auto _ : state) {
        display.LoadBuffer(*overlay);
        benchmark::DoNotOptimize(display.viewport()->grab());
    }
}

BENCHMARK(LoadAndFit)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadFitAndPaint)->Unit(benchmark::kMillisecond);
BENCHMARK(EightBitsAndSave)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadBufferAndPaint)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    page();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove(page());
}
