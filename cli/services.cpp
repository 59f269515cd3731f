#include "cli/services.h"

#include "run/site.h"

#include "cli/qt_parts.h"
#include "imaging/tiffsize.h"
#include "run/site.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>

// Weak: set only where the module's code is linked in.
extern "C" const corvanel::cli::QtParts* corvanel_eval_qt_parts() __attribute__((weak));

namespace corvanel::cli {

namespace {

namespace fs = std::filesystem;

// Beside the program in the build tree; in lib/corvanel/ when installed.
std::vector<fs::path> moduleCandidates() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const fs::path dir = self.parent_path();
    return {dir / "corvanel-eval-qt.so", (dir / CORVANEL_MODULE_DIR_FROM_BIN / "corvanel-eval-qt.so").lexically_normal()};
}

const QtParts* load() {
    if (corvanel_eval_qt_parts) return corvanel_eval_qt_parts();
    std::string why = "not found";
    for (const fs::path& candidate : moduleCandidates()) {
        std::error_code ec;
        if (!fs::exists(candidate, ec)) continue;
        void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            why = ::dlerror();
            continue;
        }
        using Entry = const QtParts* (*)();
        if (const auto entry = reinterpret_cast<Entry>(::dlsym(module, "corvanel_eval_qt_parts"))) return entry();
        why = candidate.string() + " has no entry point";
    }
    std::cerr << "corvanel-eval: cannot load corvanel-eval-qt.so, which reads page images other than TIFF and "
                 "draws error images and plots: "
              << why << "\n";
    return nullptr;
}

}  // namespace

const QtParts* qtParts() {
    static const QtParts* const parts = load();
    return parts;
}

bool mayNeedInk(const Job& job, const std::vector<Participant>& participants) {
    const SourceSettings& s = job.settings.sources;
    if (s.inkOnly) return true;
    if (s.pixels != PolygonPixels::Ink) return false;
    std::vector<fs::path> folders{job.workspace.groundTruthFolder()};
    for (const Participant& p : participants) folders.push_back(p.folder);
    for (const fs::path& folder : folders) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".xml") return true;
    }
    return false;
}

Services qtServices(bool imagesOnWorkers) {
    // Workers decode page images and paint error images with Qt: its plugins must be there first.
    if (imagesOnWorkers)
        if (const QtParts* parts = qtParts()) parts->loadImagePlugins();
    Services services;
    services.imageSize = [](const fs::path& path, MainThread& main) -> std::optional<PageSize> {
        if (const auto size = imaging::readTiffSize(path)) return size;
        // The first page that needs Qt has the main thread load it.
        static std::atomic<bool> loaded{false};
        if (!loaded) {
            main.call([] {
                if (const QtParts* parts = qtParts()) parts->loadImagePlugins();
            });
            loaded = true;
        }
        const QtParts* parts = qtParts();
        return parts ? parts->imageSize(path) : std::nullopt;
    };
    services.errorImage = [](const ErrorImageRequest& r) -> std::optional<Failure> {
        if (const QtParts* parts = qtParts()) return parts->writeErrorImage(r);
        return Failure{FailureKind::Output, r.target(), {}, {}, "error image", "no corvanel-eval-qt.so"};
    };
    services.plot = [](const fs::path& file, const std::vector<Curve>& curves,
                       const std::string& caption) -> std::optional<std::string> {
        const QtParts* parts = qtParts();
        if (!parts) return "Cannot write the plot " + file.string() + ": no corvanel-eval-qt.so";
        std::string why = parts->writePlot(file, curves, caption);
        if (why.empty()) return std::nullopt;
        return why;
    };
    return services;
}

struct StreamConsole::State {
    std::ostream& out;
    std::ostream& err;
    bool shown = false;  // a progress line is on the terminal

    void clear() {
        if (shown) err << "\r\x1b[K" << std::flush;
        shown = false;
    }
};

StreamConsole::StreamConsole(std::ostream& out, std::ostream& err, bool progress)
    : state_(std::make_shared<State>(State{out, err})) {
    console_.out = [s = state_](const std::string& text) { s->out << text; };
    console_.err = [s = state_](const std::string& line) {
        s->clear();
        s->err << line << "\n";
    };
    if (progress) {
        console_.progress = [s = state_](std::size_t done, std::size_t total, const std::string& name) {
            s->err << "\rEvaluating " << done << "/" << total << ": " << printableName(name) << "\x1b[K" << std::flush;
            s->shown = true;
        };
        console_.progressDone = [s = state_] { s->clear(); };
    }
}

int refuse(std::ostream& err, const std::string& why) {
    err << "corvanel-eval: " << printableName(why) << "\n";
    return kBadArguments;
}

std::variant<Job, int> jobFor(const Options& o, std::ostream& err) {
    const auto refuse = [&](const std::string& why) { return cli::refuse(err, why); };
    auto opened = Workspace::open(o.workspace);
    if (const auto* why = std::get_if<std::string>(&opened)) return refuse(*why);
    Job job;
    job.workspace = std::get<Workspace>(std::move(opened));
    if (o.gt)
        if (auto failure = job.workspace.setGroundTruthFolder(*o.gt)) return refuse(boxText(*failure));
    if (o.results)
        if (auto failure = job.workspace.setResultsFolder(*o.results)) return refuse(boxText(*failure));
    if (o.html && o.errorImages && !insideSite(*o.errorImages, *o.html))
        return refuse("--error-images names a folder outside the --html folder: the site can only show pictures "
                      "inside its own folder (e.g. --html site --error-images site/errors)");
    if (o.errorImages) {
        std::error_code ec;
        fs::create_directories(*o.errorImages, ec);
        if (!fs::is_directory(*o.errorImages, ec))
            return refuse("cannot create the folder " + o.errorImages->string() + " for --error-images");
    }
    RunSettings& s = job.settings;
    s.level = o.level;
    s.readHeader = o.header;
    s.threshold = o.threshold;
    s.weights = o.weights;
    s.sweep = o.sweep;
    s.diagnose = o.json || o.errorImages;
    s.sources.pixels = o.pixelsRegion ? PolygonPixels::Region : PolygonPixels::Ink;
    s.sources.inkOnly = o.inkOnly;
    s.sources.greyPage = [](const fs::path& page) -> std::variant<GreyImage, std::string> {
        if (const QtParts* parts = qtParts()) return parts->readGreyImage(page);
        return std::string("no corvanel-eval-qt.so to decode it");
    };
    job.jobs = o.jobs != 0 ? o.jobs : usableProcessors();
    job.outputs = {o.report, o.json, o.csv, o.rank.markdown, o.plot, o.errorImages, o.html};
    job.strict = o.strict;
    job.bootstrapDraws = o.rank.bootstrap;
    return job;
}

int exitCode(RunStatus status) {
    switch (status) {
        case RunStatus::Done:
            return kSuccess;
        case RunStatus::Failed:
            return kFailure;
        case RunStatus::OutOfMemory:
            return kOutOfMemory;
    }
    return kFailure;
}

}  // namespace corvanel::cli
