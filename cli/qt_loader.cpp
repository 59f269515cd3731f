#include "qt_parts.h"

#include "tiffsize.h"

#include <dlfcn.h>
#include <unistd.h>

#include <iostream>
#include <mutex>

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

std::optional<PageSize> pageImageSize(const fs::path& path) {
    if (const auto size = imaging::readTiffSize(path)) return size;
    return qtImageSize(path);
}

std::optional<PageSize> qtImageSize(const fs::path& path) {
    const QtParts* parts = qtParts();
    return parts ? parts->imageSize(path) : std::nullopt;
}

}  // namespace corvanel::cli
