// Load: corvanel-eval's whole batch, in-process, on 2000 small pages and on
// one 20000 x 20000 page (1.6 GB of maps a side), against five 2500 x 3500
// pages. Goals: the run adds under 64 MiB of resident memory, and the huge
// page's time per pixel stays within 1.5x of the 2500 x 3500 pages'. And a
// hostile 2500 x 3500 page, every pixel a region of its own on both sides,
// with its JSON written: under 2 GiB and under 30 s.
//
// Every figure is for a warm page cache: each benchmark runs its batch once,
// untimed, before measuring.

#include "bench/bench_support.h"
#include "cli/evaluator.h"
#include "run/workspace.h"
#include "imaging/imagesize.h"
#include "tools/synth.h"
#include "tools/workspace.h"

#include <QImage>
#include <QImageWriter>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace corvanel;

namespace {

static_assert(std::endian::native == std::endian::little, "label maps are written as they lie in memory");

constexpr int kSmallPages = 2000;
constexpr std::int32_t kSmallWidth = 200, kSmallHeight = 300;
constexpr int kReferencePages = 5;
constexpr std::int32_t kHugeSide = 20000;
constexpr double kPeakGoalMiB = 64;
constexpr double kRatioGoal = 1.5;
constexpr double kHostilePeakGoalMiB = 2048, kHostileSecondsGoal = 30;

const fs::path& root() {
    static const fs::path dir = fs::temp_directory_path() / ("corvanel-load-bench-" + std::to_string(::getpid()));
    return dir;
}

// A Ctrl-C or kill mid-run would otherwise leave gigabytes in /tmp. Not
// async-signal-safe, but the process is going away anyway.
extern "C" void removeAndExit(int signal) {
    std::error_code ec;
    fs::remove_all(root(), ec);
    ::_exit(128 + signal);
}

struct BuiltWorkspace {
    fs::path dir;
    std::int64_t pages = 0;
    double pixels = 0;
    double setupSeconds = 0;
    std::uintmax_t bytes = 0;
};

std::uintmax_t folderBytes(const fs::path& dir) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

std::vector<BuiltWorkspace> built;  // for the summary

template <class Make>
BuiltWorkspace timedSetup(const fs::path& dir, std::int64_t pages, double pixels, Make make) {
    const auto t0 = std::chrono::steady_clock::now();
    make(dir);
    BuiltWorkspace w{dir, pages, pixels, 0, 0};
    w.setupSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    w.bytes = folderBytes(dir);
    built.push_back(w);
    return w;
}

const BuiltWorkspace& smallPages() {
    static const BuiltWorkspace w = timedSetup(root() / "many", kSmallPages, double(kSmallPages) * kSmallWidth * kSmallHeight,
                                          [](const fs::path& dir) {
                                              synth::PageLayout layout;
                                              layout.width = kSmallWidth;
                                              layout.height = kSmallHeight;
                                              layout.lines = 4;
                                              layout.wordsPerLine = 3;
                                              synth::writeWorkspace(dir, kSmallPages, layout);
                                          });
    return w;
}

const BuiltWorkspace& referencePages() {
    static const BuiltWorkspace w = timedSetup(root() / "reference", kReferencePages, kReferencePages * 2500.0 * 3500.0,
                                          [](const fs::path& dir) {
                                              synth::writeWorkspace(dir, kReferencePages, synth::PageLayout{});
                                          });
    return w;
}

// The tile's labels repeated across a side x side map, each tile's offset by
// its index times the tile's largest label so that no two tiles share a
// region; written straight to the file, a band of rows at a time, since the
// whole map would be 1.6 GB.
void writeTiled(const fs::path& path, const LabelMap& tile, std::int32_t side) {
    const std::int32_t tw = tile.width(), th = tile.height();
    const std::int32_t cols = (side + tw - 1) / tw;
    const std::int32_t maxLabel = *std::max_element(tile.data(), tile.data() + tile.pixelCount());
    constexpr std::int32_t kBand = 64;
    std::vector<std::int32_t> band(static_cast<std::size_t>(kBand) * static_cast<std::size_t>(side));
    fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path.string());
    for (std::int32_t y0 = 0; y0 < side; y0 += kBand) {
        const std::int32_t rows = std::min(kBand, side - y0);
        for (std::int32_t r = 0; r < rows; ++r) {
            const std::int32_t y = y0 + r;
            const std::int32_t* in = tile.data() + static_cast<std::size_t>(y % th) * static_cast<std::size_t>(tw);
            std::int32_t* out = band.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(side);
            for (std::int32_t tx = 0; tx < cols; ++tx) {
                const std::int32_t offset = ((y / th) * cols + tx) * maxLabel;
                const std::int32_t width = std::min(tw, side - tx * tw);
                for (std::int32_t x = 0; x < width; ++x) out[tx * tw + x] = in[x] != 0 ? in[x] + offset : 0;
            }
        }
        const char* bytes = reinterpret_cast<const char*>(band.data());
        std::size_t left = static_cast<std::size_t>(rows) * static_cast<std::size_t>(side) * sizeof(std::int32_t);
        while (left > 0) {
            const ssize_t done = ::write(fd, bytes, left);
            if (done <= 0) {
                ::close(fd);
                throw std::runtime_error("cannot write " + path.string());
            }
            bytes += done;
            left -= static_cast<std::size_t>(done);
        }
    }
    if (::close(fd) != 0) throw std::runtime_error("cannot write " + path.string());
}

// The page image: a 1-bit picture of the tiled ink (50 MB in memory rather
// than the 1.6 GB map writeInkImage would need).
void writeTiledInk(const fs::path& path, const LabelMap& tile, std::int32_t side) {
    QImage image(side, side, QImage::Format_Mono);
    if (image.isNull()) throw std::runtime_error("cannot allocate the page image");
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    image.fill(0);
    for (std::int32_t y = 0; y < side; ++y) {
        uchar* row = image.scanLine(y);
        for (std::int32_t x = 0; x < side; ++x)
            if (tile.at(x % tile.width(), y % tile.height()) != 0) row[x >> 3] |= static_cast<uchar>(0x80 >> (x & 7));
    }
    fs::create_directories(path.parent_path());
    QImageWriter writer(QString::fromStdString(path.string()));
    writer.setCompression(1);
    if (!writer.write(image)) throw std::runtime_error("cannot write " + path.string() + ": " +
                                                       writer.errorString().toStdString());
    const std::optional<PageSize> size = imaging::readImageSize(path);
    if (!size || *size != PageSize{side, side})
        throw std::runtime_error(path.string() + " does not read back as " + std::to_string(side) + " x " +
                                 std::to_string(side));
}

const BuiltWorkspace& hugePage() {
    static const BuiltWorkspace w = timedSetup(root() / "huge", 1, double(kHugeSide) * kHugeSide, [](const fs::path& dir) {
        const synth::SyntheticPage tile = synth::makePage(synth::PageLayout{});
        const std::string name = "huge.tif";
        const corvanel::Workspace ws(dir);
        writeTiledInk(ws.pageImage(name), tile.gtWords, kHugeSide);
        writeTiled(ws.mapPath(MapKind::GroundTruth, Level::Words, name), tile.gtWords, kHugeSide);
        writeTiled(ws.mapPath(MapKind::Result, Level::Words, name), tile.rsWords, kHugeSide);
    });
    return w;
}

const BuiltWorkspace& hostilePage() {
    static const BuiltWorkspace w = timedSetup(root() / "hostile", 1, 2500.0 * 3500.0, [](const fs::path& dir) {
        const corvanel::Workspace ws(dir);
        LabelMap every(2500, 3500);
        for (std::size_t i = 0; i < every.pixelCount(); ++i) every.data()[i] = static_cast<std::int32_t>(i + 1);
        fs::create_directories(ws.imagesFolder());
        if (!synth::writeInkImage(ws.pageImage("hostile.tif"), every))
            throw std::runtime_error("cannot write the hostile page");
        synth::writeLabelMap(ws.mapPath(MapKind::GroundTruth, Level::Words, "hostile.tif"), every);
        synth::writeLabelMap(ws.mapPath(MapKind::Result, Level::Words, "hostile.tif"), every);
    });
    return w;
}

struct Figures {
    double nsPerPixel = 0;
    double peakMiB = 0;
    double seconds = 0;  // a run
};
std::map<std::string, Figures> figures;  // by benchmark, for the summary

// A number the run prints on a line of its own, "KEY: value"; -1 when absent.
std::int64_t printed(const std::string& out, const std::string& key) {
    const std::string line = key + ": ";
    const auto at = out.rfind(line);
    if (at == std::string::npos || (at > 0 && out[at - 1] != '\n')) return -1;
    return std::stoll(out.substr(at + line.size()));
}

void Batch(benchmark::State& state, const BuiltWorkspace& (*workspace)(), unsigned jobs, const char* key,
           bool json = false) {
    const BuiltWorkspace& w = workspace();
    cli::Options options;
    options.workspace = w.dir;
    options.level = Level::Words;
    options.jobs = jobs;
    options.report = root() / "load-report.txt";
    if (json) options.json = "/dev/null";  // written, and thrown away
    std::string output;
    const auto runOnce = [&](std::string& problem) {
        std::ostringstream out, err;
        const int code = cli::run(options, out, err, false);
        output = out.str();
        const std::int64_t pages = printed(output, "Im.");
        if (code != 0 || pages != w.pages)
            problem = "exit " + std::to_string(code) + ", " + std::to_string(pages) + " pages evaluated: " + err.str();
    };
    bench::PeakMemory memory;

    std::string problem;
    memory.start();
    runOnce(problem);  // warms the page cache and loads the image plugins
    const double firstRunPeakMiB = memory.mibSinceStart();
    if (!problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    double seconds = 0, peakMiB = 0;
    for (auto _ : state) {
        memory.start();
        const auto t0 = std::chrono::steady_clock::now();
        runOnce(problem);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        peakMiB = std::max(peakMiB, memory.mibSinceStart());
        if (!problem.empty()) {
            state.SkipWithError(problem.c_str());
            return;
        }
    }
    const double perRun = seconds / static_cast<double>(state.iterations());
    const Figures f{perRun * 1e9 / w.pixels, peakMiB, perRun};
    state.counters["nsPerPixel"] = f.nsPerPixel;
    state.counters["peakMiB"] = f.peakMiB;
    state.counters["firstRunPeakMiB"] = firstRunPeakMiB;  // with the one-time set-up (plugins, caches)
    state.counters["pages"] = static_cast<double>(w.pages);
    state.counters["Mpixels"] = w.pixels / 1e6;
    // So a run shows that it matched real regions.
    for (const char* count : {"N", "M", "one2one"}) state.counters[count] = static_cast<double>(printed(output, count));
    figures[key] = f;
}

const bool registered = [] {
    for (const unsigned jobs : {1u, 2u})
        benchmark::RegisterBenchmark(("ManyPages/2000/jobs:" + std::to_string(jobs)).c_str(), Batch, smallPages, jobs,
                                     jobs == 1 ? "many1" : "many2", false)
            ->Iterations(3)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("HugePage/20000x20000/jobs:1", Batch, hugePage, 1u, "huge", false)
        ->Iterations(2)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Reference/2500x3500/jobs:1", Batch, referencePages, 1u, "reference", false)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("HostilePage/2500x3500/json/jobs:1", Batch, hostilePage, 1u, "hostile", true)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}();

void summarise() {
    const auto get = [](const char* key) -> const Figures* {
        const auto it = figures.find(key);
        return it == figures.end() ? nullptr : &it->second;
    };
    std::printf("\nGoals (warm page cache):\n");
    for (const char* key : {"many1", "many2", "huge"})
        if (const Figures* f = get(key))
            std::printf("  peak %-9s %8.1f MiB  < %.0f MiB: %s\n", key, f->peakMiB, kPeakGoalMiB,
                        f->peakMiB < kPeakGoalMiB ? "holds" : "FAILS");
    const Figures* ref = get("reference");
    for (const char* key : {"huge", "many1"})
        if (const Figures* f = get(key); f && ref)
            std::printf("  ns/pixel %-5s / reference = %.3f / %.3f = %.2f  <= %.1f: %s\n", key, f->nsPerPixel,
                        ref->nsPerPixel, f->nsPerPixel / ref->nsPerPixel, kRatioGoal,
                        f->nsPerPixel / ref->nsPerPixel <= kRatioGoal ? "holds" : "FAILS");
    if (const Figures* f = get("hostile")) {
        std::printf("  hostile peak  %8.1f MiB  < %.0f MiB: %s\n", f->peakMiB, kHostilePeakGoalMiB,
                    f->peakMiB < kHostilePeakGoalMiB ? "holds" : "FAILS");
        std::printf("  hostile run   %8.1f s    < %.0f s: %s\n", f->seconds, kHostileSecondsGoal,
                    f->seconds < kHostileSecondsGoal ? "holds" : "FAILS");
    }
    std::printf("Setup (workspaces built by this run):\n");
    for (const BuiltWorkspace& w : built)
        std::printf("  %-10s %7.1f s  %8.1f MiB on disk\n", w.dir.filename().c_str(), w.setupSeconds,
                    static_cast<double>(w.bytes) / (1 << 20));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    struct sigaction action {};
    action.sa_handler = removeAndExit;
    action.sa_flags = SA_RESETHAND;
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
    int code = 0;
    try {
        benchmark::RunSpecifiedBenchmarks();
        summarise();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvanel_bench_load: %s\n", e.what());
        code = 1;
    }
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(root(), ec);
    return code;
}
