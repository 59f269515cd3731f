#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvanel::app {

// Free physical memory in bytes, as the system reports it (MemAvailable of
// /proc/meminfo); 0 when it cannot be read.
std::uint64_t availablePhysicalMemory();

// MemAvailable of a /proc/meminfo text, in bytes; 0 when the line is missing.
std::uint64_t memAvailableBytes(std::string_view meminfo);

// The memory indicator's text: "[<MB>MB] - <KB>KB", KB = bytes / 1024 and
// MB = KB / 1024, both rounded down.
std::string memoryIndicatorText(std::uint64_t bytes);

}  // namespace corvanel::app
