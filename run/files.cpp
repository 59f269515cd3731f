#include "run/files.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanel {

namespace fs = std::filesystem;

namespace {

std::string reason(int error) { return std::generic_category().message(error); }

// What the umask leaves of 0666, as for any file the user makes. Read from
// the kernel: setting the umask to read it back would race with threads
// creating files.
mode_t newFileMode() {
    static const mode_t mode = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("Umask:")) return static_cast<mode_t>(0666 & ~std::stoul(line.substr(6), nullptr, 8));
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

}  // namespace

std::optional<fs::path> followLinks(fs::path path) {
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(path, ec)) return path;
        const fs::path next = fs::read_symlink(path, ec);
        if (ec) return path;
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return std::nullopt;
}

ReplacingFile::ReplacingFile(fs::path path) {
    // A link stays a link, even one whose target is not there yet.
    std::optional<fs::path> target = followLinks(std::move(path));
    if (!target) {
        openError_ = reason(ELOOP);
        return;
    }
    target_ = std::move(*target);
    struct stat info {};
    mode_t mode = newFileMode();
    if (::stat(target_.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd_ < 0) openError_ = reason(errno);
            return;
        }
        mode = info.st_mode & 07777;
    }
    // Short, so that a target whose name is as long as a name may be still has a temporary beside it.
    const fs::path dir = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
    std::string name = (dir / ".corvanel-XXXXXX").string();
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) {
        openError_ = reason(errno);
        return;
    }
    temp_ = name;
    ::fchmod(fd_, mode);
}

ReplacingFile::ReplacingFile(ReplacingFile&& o) noexcept
    : target_(std::move(o.target_)), temp_(std::move(o.temp_)), fd_(std::exchange(o.fd_, -1)),
      openError_(std::move(o.openError_)), lastError_(std::move(o.lastError_)) {
    o.temp_.clear();
}

ReplacingFile::~ReplacingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool ReplacingFile::write(std::string_view bytes) {
    if (fd_ < 0) return false;
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lastError_ = reason(n < 0 ? errno : EIO);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> ReplacingFile::commit() {
    if (fd_ < 0) return openError_.empty() ? lastError_ : openError_;
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && lastError_.empty()) lastError_ = reason(errno);
    if (!lastError_.empty()) return lastError_;
    if (temp_.empty()) return std::nullopt;
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) return lastError_ = reason(errno);
    temp_.clear();
    return std::nullopt;
}

std::optional<std::string> writeWholeFile(const fs::path& path, std::string_view bytes) {
    ReplacingFile file(path);
    if (!file.openError().empty()) return file.openError();
    if (!file.write(bytes)) return file.lastError();
    return file.commit();
}

std::optional<std::string> writeLabelMap(const std::filesystem::path& path, const LabelMap& map, bool header) {
    // Labels lie on disk as in memory: the engine builds only on little-endian machines.
    const std::string_view labels(reinterpret_cast<const char*>(map.data()), map.pixelCount() * sizeof(std::int32_t));
    if (!header) return writeWholeFile(path, labels);
    std::string bytes;
    bytes.reserve(8 + labels.size());
    for (const std::int32_t v : {map.width(), map.height()})
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((static_cast<std::uint32_t>(v) >> shift) & 0xFF));
    bytes.append(labels);
    return writeWholeFile(path, bytes);
}

}  // namespace corvanel
