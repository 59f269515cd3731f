#pragma once

#include "eval/labelmap.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvanel {

// The path a chain of links ends in, whether that exists or not; the path
// itself when it is no link; nullopt for a loop.
std::optional<std::filesystem::path> followLinks(std::filesystem::path path);

// A file that appears whole or not at all: written to a temporary file beside
// its target and renamed onto it by commit(); dropped without a trace when not
// committed. A link is followed, even one whose target is not there yet, so
// the link stays and its target is written. A target that exists and is not
// a regular file (a device, a FIFO) is written in place instead. Move-only.
class ReplacingFile {
public:
    explicit ReplacingFile(std::filesystem::path path);
    ReplacingFile(ReplacingFile&& other) noexcept;
    ReplacingFile& operator=(ReplacingFile&&) = delete;
    ReplacingFile(const ReplacingFile&) = delete;
    ~ReplacingFile();

    // Why the file could not be created; empty when it was.
    const std::string& openError() const { return openError_; }
    // False, with the reason in lastError(), when a write failed.
    bool write(std::string_view bytes);
    // Puts the file in place; the reason when it could not.
    std::optional<std::string> commit();
    const std::string& lastError() const { return lastError_; }
    // Written in place: what is written is seen at once.
    bool inPlace() const { return temp_.empty(); }

private:
    std::filesystem::path target_, temp_;  // temp_ empty: written in place
    int fd_ = -1;
    std::string openError_, lastError_;
};

// Writes `bytes` to `path` through a ReplacingFile; the reason when it could not.
std::optional<std::string> writeWholeFile(const std::filesystem::path& path, std::string_view bytes);

// Writes a label map file as the readers read it (32-bit little-endian
// labels, with the 8-byte size header first when asked), whole or not at
// all; the reason when it could not.
std::optional<std::string> writeLabelMap(const std::filesystem::path& path, const LabelMap& map, bool header = false);

}  // namespace corvanel
