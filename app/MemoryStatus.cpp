#include "app/MemoryStatus.h"

#include <charconv>
#include <fstream>
#include <iterator>

namespace corvanel::app {

std::uint64_t memAvailableBytes(std::string_view meminfo) {
    constexpr std::string_view key = "MemAvailable:";
    std::size_t at = 0;
    while ((at = meminfo.find(key, at)) != std::string_view::npos) {
        if (at == 0 || meminfo[at - 1] == '\n') break;
        at += key.size();
    }
    if (at == std::string_view::npos) return 0;
    std::size_t digits = meminfo.find_first_not_of(" \t", at + key.size());
    if (digits == std::string_view::npos) return 0;
    std::uint64_t kilobytes = 0;
    std::from_chars(meminfo.data() + digits, meminfo.data() + meminfo.size(), kilobytes);
    return kilobytes * 1024;  // the kernel writes "kB" and means KiB
}

std::uint64_t availablePhysicalMemory() {
    std::ifstream in("/proc/meminfo");
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return memAvailableBytes(text);
}

std::string memoryIndicatorText(std::uint64_t bytes) {
    const std::uint64_t kilobytes = bytes >> 10;
    return "[" + std::to_string(kilobytes / 1024) + "MB] - " + std::to_string(kilobytes) + "KB";
}

}  // namespace corvanel::app
