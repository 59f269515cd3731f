#pragma once

// What corvanel-eval needs Qt for: page images other than TIFF, error
// images and plots. They live in a module, corvanel-eval-qt.so, loaded on
// first use, so a run over TIFF pages never loads Qt's GUI libraries (most
// of the program's start-up otherwise). Programs that link the module's code
// (the tests, the benchmarks) use it directly.

#include "run/results.h"
#include "run/session.h"

#include <filesystem>
#include <optional>
#include <variant>
#include <string>
#include <vector>

namespace corvanel::cli {

// The PNG writer's quality for error images: zlib's fastest level, a third of
// the default's time for files under twice as large.
inline constexpr int kErrorImageQuality = 80;

struct QtParts {
    // The size of an image through Qt's readers (imaging::readImageSizeWithQt),
    // once readTiffSize has found no TIFF it reads.
    std::optional<PageSize> (*imageSize)(const std::filesystem::path& path);
    // Writes the page's error view, whole or not at all; the failure when it could not.
    std::optional<Failure> (*writeErrorImage)(const ErrorImageRequest& request);
    // See plot.h.
    std::string (*writePlot)(const std::filesystem::path& file, const std::vector<Curve>& curves,
                             const std::string& caption);
    // Loads every image plugin, once; call it on the main thread.
    void (*loadImagePlugins)();
    // A page image decoded to grey, for its ink (imaging::readGreyImage).
    std::variant<GreyImage, std::string> (*readGreyImage)(const std::filesystem::path& path);
};

// Loads the module on first call (call it first on the main thread: Qt's
// plugins must not be loaded by a worker); null when it cannot be loaded,
// the reason then said once on stderr.
const QtParts* qtParts();

}  // namespace corvanel::cli

// Defined by the module, and by programs that link its code.
extern "C" const corvanel::cli::QtParts* corvanel_eval_qt_parts();
