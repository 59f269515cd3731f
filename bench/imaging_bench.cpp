// The image control on a 2500 x 3500 group-4 page: loading and fitting it,
// with and without its first paint; building an overlay base (8 bits, saved
// to a buffer); loading and painting an overlay.

#include "imagecontrol.h"
#include "synth.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPixmap>

#include <tiffio.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
using corvanel::imaging::Bitmap;
using corvanel::imaging::ImageControl;

namespace {

// Qt's writer has no group 4, so the page goes through libtiff.
void writeG4(const fs::path& path, const corvanel::LabelMap& ink) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) throw std::runtime_error("cannot create " + path.string());
    const auto width = static_cast<uint32_t>(ink.width());
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(ink.height()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(ink.height()));
    std::string row((width + 7) / 8, '\0');
    for (std::int32_t y = 0; y < ink.height(); ++y) {
        std::fill(row.begin(), row.end(), '\0');
        for (std::int32_t x = 0; x < ink.width(); ++x)
            if (ink.at(x, y) != 0) row[static_cast<std::size_t>(x >> 3)] |= static_cast<char>(0x80 >> (x & 7));
        TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(tiff);
}

const fs::path& page() {
    static const fs::path path = [] {
        fs::path p = fs::temp_directory_path() / ("corvanel-imaging-bench-" + std::to_string(::getpid()) + ".tif");
        writeG4(p, corvanel::synth::makePage(corvanel::synth::PageLayout{}).gtWords);  // 2500 x 3500
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
