#pragma once

// Small helpers every test folder uses: a temporary folder that cleans up
// after itself, whole-file byte reads and writes, and a program's run.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

#include <stdlib.h>
#include <sys/wait.h>

namespace corvanel::testing {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "corvanel-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Creates the parent folders first.
inline void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A program run through the shell, its two output streams caught in files
// under `scratch`.
struct ToolRun {
    int exitCode;
    std::string out, err;
};

inline ToolRun runTool(const std::string& command, const std::filesystem::path& scratch) {
    const std::filesystem::path out = scratch / "out.txt", err = scratch / "err.txt";
    const int status = std::system((command + " >" + out.string() + " 2>" + err.string()).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readBytes(out), readBytes(err)};
}

}  // namespace corvanel::testing
