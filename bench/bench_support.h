#pragma once

// The floor the benchmarks compare against: merely reading a file's bytes
// into freshly allocated memory.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace corvanel::bench {

inline std::size_t readRaw(const std::filesystem::path& path) {
    const auto bytes = std::filesystem::file_size(path);
    auto buffer = std::make_unique_for_overwrite<char[]>(bytes);
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t got = ::read(fd, buffer.get() + done, bytes - done);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    benchmark::DoNotOptimize(buffer.get());
    return done;
}

// Resident memory added since start(), at its peak, from the kernel's
// resettable high-water mark.
class PeakMemory {
public:
    void start() {
        // Freed heap stays resident and would hide what comes next: hand it back first.
        ::malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        before_ = kib("VmRSS:");
    }
    double mibSinceStart() const { return static_cast<double>(kib("VmHWM:") - before_) / 1024.0; }

private:
    static long kib(const char* field) {
        std::ifstream status("/proc/self/status");
        std::string key;
        long value = 0;
        while (status >> key) {
            if (key == field) {
                status >> value;
                return value;
            }
            status.ignore(1 << 10, '\n');
        }
        return -1;
    }
    long before_ = 0;
};

}  // namespace corvanel::bench
