#pragma once

// What the harnesses share: a scratch file rewritten for every input, and a
// check that stops the run where an invariant breaks.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

// Aborts, so libFuzzer (or the replay) records the input, with where it broke.
#define CORVANEL_FUZZ_CHECK(condition)                                                        \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace corvanel::fuzz {

// A finite rate's text: its sign, then digits "." two digits "%", or "100.0%".
inline bool percentShape(const std::string& text, double rate) {
    if (text.starts_with('-') != (rate < 0)) return false;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = text.starts_with('-') ? 1 : 0;
    if (text.compare(i, std::string::npos, "100.0%") == 0) return true;
    const std::size_t start = i;
    while (i < text.size() && digit(text[i])) ++i;
    return i > start && text.size() == i + 4 && text[i] == '.' && digit(text[i + 1]) && digit(text[i + 2]) &&
           text[i + 3] == '%';
}

// One file per process (the pid keeps parallel runs apart), removed at exit.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& stem)
        : path_(std::filesystem::temp_directory_path() /
                ("corvanel-fuzz-" + std::to_string(::getpid()) + "-" + stem)) {}
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }

    void write(const std::uint8_t* data, std::size_t size) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        CORVANEL_FUZZ_CHECK(out.good());  // a scratch file not written would test nothing
    }

private:
    std::filesystem::path path_;
};

}  // namespace corvanel::fuzz
