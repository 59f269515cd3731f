// corvanel-eval's command line: the input split into words at 0 bytes and
// spaces, parsed as argv. Only parse(); nothing is ever run. The word "WS"
// stands for a scratch workspace (a folder holding images/), so that
// command lines can get past the folder checks.

#include "cli/evaluator.h"
#include "fuzz/fuzz_support.h"
#include "eval/scores.h"
#include "run/workspace.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Removed at exit, with its images/ folder.
struct ScratchWorkspace {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("corvanel-fuzz-" + std::to_string(::getpid()) + "-workspace");
    ScratchWorkspace() { std::filesystem::create_directories(corvanel::Workspace::imagesFolderOf(path)); }
    ~ScratchWorkspace() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchWorkspace workspace;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words{"corvanel-eval"};
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || input[i] == '\0' || input[i] == ' ') {
            const std::string_view word = input.substr(start, i - start);
            if (word == "WS") words.push_back(workspace.path.string());
            else if (!word.empty()) words.emplace_back(word);
            start = i + 1;
        }
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    argv.push_back(nullptr);

    corvanel::cli::Options options;
    std::ostringstream out, err;
    const auto code = corvanel::cli::parse(static_cast<int>(words.size()), argv.data(), options, out, err);
    // Stopping for bad arguments always says why; going on means the options hold.
    if (code == corvanel::cli::kBadArguments) CORVANEL_FUZZ_CHECK(!err.str().empty());
    if (!code) {
        CORVANEL_FUZZ_CHECK(!options.workspace.empty());
        CORVANEL_FUZZ_CHECK(options.threshold >= 1 && options.threshold <= 100);
        for (const std::int32_t T : options.sweep) CORVANEL_FUZZ_CHECK(T >= 1 && T <= 100);
        const corvanel::Weights& w = options.weights;
        CORVANEL_FUZZ_CHECK(w.w1 >= 0 && w.w2 >= 0 && w.w3 >= 0);
    }
    return 0;
}
