#pragma once

// The floor the benchmarks compare against: merely reading a file's bytes
// into freshly allocated memory.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

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

}  // namespace corvanel::bench
