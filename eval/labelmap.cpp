#include "eval/labelmap.h"

#include "eval/flat_map.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(std::endian::native == std::endian::little,
              "label maps are read as little-endian blocks straight into memory");

namespace corvanel {

namespace fs = std::filesystem;

namespace {

// The storage of the last maps let go, for the next map of the same size: a
// fresh 35 MB block is 9000 page faults, most of the time the window takes
// to show a page's regions or its errors. Only blocks of page size are kept,
// and only a few, so little memory stays held.
class MapStorage {
public:
    std::int32_t* take(std::size_t count) {
        {
            std::lock_guard lock(mutex_);
            for (auto it = kept_.begin(); it != kept_.end(); ++it)
                if (it->first == count) {
                    std::int32_t* labels = it->second;
                    kept_.erase(it);
                    return labels;
                }
        }
        return new std::int32_t[count];  // uninitialised: every label is written before it is read
    }
    void give(std::int32_t* labels, std::size_t count) {
        const std::size_t bytes = count * sizeof(std::int32_t);
        if (bytes >= kSmallest && bytes <= kLargest) {
            std::lock_guard lock(mutex_);
            kept_.emplace_back(count, labels);
            if (kept_.size() <= kKept) return;
            labels = kept_.front().second;
            kept_.erase(kept_.begin());
        }
        delete[] labels;
    }

private:
    static constexpr std::size_t kSmallest = std::size_t{4} << 20, kLargest = std::size_t{256} << 20, kKept = 4;
    std::mutex mutex_;
    std::vector<std::pair<std::size_t, std::int32_t*>> kept_;
};

// Never destroyed: a map may be let go during the program's exit.
MapStorage& storage() {
    static MapStorage* const pool = new MapStorage;
    return *pool;
}

}  // namespace

std::string sizeText(PageSize size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

void detail::RecycleLabels::operator()(std::int32_t* labels) const { storage().give(labels, count); }

LabelMap::LabelMap(std::int32_t width, std::int32_t height)
    : width_(width), height_(height), labels_(storage().take(pixelCount()), detail::RecycleLabels{pixelCount()}) {}

namespace {

bool readFully(int fd, void* buffer, std::size_t bytes) {
    auto* out = static_cast<char*>(buffer);
    while (bytes > 0) {
        ssize_t got = ::read(fd, out, bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        bytes -= static_cast<std::size_t>(got);
    }
    return true;
}

std::int32_t littleEndian32(const unsigned char* b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(b[0]) |
                                     static_cast<std::uint32_t>(b[1]) << 8 |
                                     static_cast<std::uint32_t>(b[2]) << 16 |
                                     static_cast<std::uint32_t>(b[3]) << 24);
}

// `shown` joins the window's message; `detail` is kept apart from it.
Failure problem(FailureKind kind, const fs::path& path, std::optional<MapKind> side, std::string shown = {},
                std::string detail = {}) {
    return {kind, path, side, std::nullopt, std::move(shown), std::move(detail)};
}

// 8000000 as "8,000,000".
std::string grouped(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string systemReason(int error) { return std::generic_category().message(error); }

// Labels a slice, whether a map is read whole (each slice still in cache for
// the negative-label check) or streamed: 256 KB a read. Smaller reads cost
// more in system calls than they save in cache misses; larger ones gain
// nothing.
constexpr std::size_t kSliceLabels = std::size_t{1} << 16;

// Eight independent lanes, so the compiler turns the loop into vector ORs.
bool anyNegative(const std::int32_t* labels, std::size_t count) {
    std::int32_t lanes[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8)
        for (std::size_t k = 0; k < 8; ++k) lanes[k] |= labels[i + k];
    std::int32_t bits = 0;
    for (; i < count; ++i) bits |= labels[i];
    for (std::int32_t lane : lanes) bits |= lane;
    return bits < 0;
}

Failure negativeLabelError(const fs::path& path, std::optional<MapKind> side, std::int32_t label, std::size_t first,
                           std::int32_t width) {
    const auto w = static_cast<std::size_t>(width);
    return problem(FailureKind::NegativeLabel, path, side,
                   "negative label " + std::to_string(label) + " at x=" + std::to_string(first % w) +
                       ", y=" + std::to_string(first / w));
}

}  // namespace

std::variant<LabelMapFile, Failure> LabelMapFile::open(const fs::path& path, bool readHeader, PageSize size,
                                                       std::optional<MapKind> side) {
    // Missing means not there at all; a link loop or a folder that cannot be
    // searched is a problem with the file. Non-blocking, so a FIFO opens at
    // once and is turned away as not a regular file; no controlling
    // terminal should the path be one.
    LabelMapFile file(path, ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY), size, side);
    if (file.fd_ < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return problem(FailureKind::MapMissing, path, side);
        return problem(FailureKind::MapUnreadable, path, side, {}, "cannot open it: " + systemReason(error));
    }
    struct stat info {};
    if (::fstat(file.fd_, &info) != 0)
        return problem(FailureKind::MapUnreadable, path, side, {}, "cannot open it: " + systemReason(errno));
    if (!S_ISREG(info.st_mode)) return problem(FailureKind::MapUnreadable, path, side, {}, "not a regular file");
    const auto fileBytes = static_cast<std::uint64_t>(info.st_size);

    std::uint64_t offset = 0;
    if (readHeader) {
        unsigned char header[8];
        if (fileBytes < sizeof header || !readFully(file.fd_, header, sizeof header))
            return problem(FailureKind::MapMalformed, path, side, {},
                           grouped(fileBytes) + " bytes, shorter than the 8-byte size header");
        file.size_ = {littleEndian32(header), littleEndian32(header + 4)};
        offset = sizeof header;
        file.firstLabelAt_ = offset;
    }
    // Both factors are below 2^31, so the byte count fits in 64 bits.
    if (file.size_.width <= 0 || file.size_.height <= 0)
        return problem(FailureKind::MapMalformed, path, side, {},
                       "a size of " + sizeText(file.size_));
    const std::uint64_t labels = static_cast<std::uint64_t>(file.size_.width) *
                                 static_cast<std::uint64_t>(file.size_.height);
    if (labels > std::numeric_limits<std::size_t>::max() / 4 || fileBytes - offset < labels * 4)
        return problem(FailureKind::MapMalformed, path, side, {},
                       grouped(fileBytes) + " bytes, " + grouped(offset + labels * 4) + " expected");
    return file;
}

LabelMapFile::LabelMapFile(LabelMapFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)), size_(other.size_), side_(other.side_),
      firstLabelAt_(other.firstLabelAt_) {}

LabelMapFile::~LabelMapFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t LabelMapFile::labelCount() const {
    return static_cast<std::size_t>(size_.width) * static_cast<std::size_t>(size_.height);
}

std::optional<Failure> LabelMapFile::read(std::int32_t* out, std::size_t count) {
    errno = 0;
    if (!readFully(fd_, out, count * 4)) {
        const int error = errno;
        return problem(FailureKind::MapUnreadable, path_, side_, {},
                       error != 0 ? "cannot read it: " + systemReason(error) : "it ended while being read");
    }
    return std::nullopt;
}

std::optional<Failure> LabelMapFile::negativeIn(const std::int32_t* labels, std::size_t count,
                                                std::size_t first) const {
    if (!anyNegative(labels, count)) return std::nullopt;
    const auto* at = std::find_if(labels, labels + count, [](std::int32_t v) { return v < 0; });
    return negativeLabelError(path_, side_, *at, first + static_cast<std::size_t>(at - labels), size_.width);
}

std::optional<Failure> LabelMapFile::firstProblem() const {
    std::vector<std::int32_t> slice(kSliceLabels);
    for (std::size_t done = 0, labels = labelCount(); done < labels;) {
        const std::size_t n = std::min(kSliceLabels, labels - done);
        auto* out = reinterpret_cast<char*>(slice.data());
        for (std::size_t got = 0; got < n * 4;) {
            const ssize_t r = ::pread(fd_, out + got, n * 4 - got, static_cast<off_t>(firstLabelAt_ + done * 4 + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0)
                return problem(FailureKind::MapUnreadable, path_, side_, {},
                               r < 0 ? "cannot read it: " + systemReason(errno) : "it ended while being read");
            got += static_cast<std::size_t>(r);
        }
        if (auto negative = negativeIn(slice.data(), n, done)) return negative;
        done += n;
    }
    return std::nullopt;
}

// The slices are kept from call to call: fresh ones would be zeroed and
// faulted in every time.
std::optional<Failure> readInStep(LabelMapFile& gt, LabelMapFile& rs, const PairSink& fn) {
    thread_local std::vector<std::int32_t> gtSlice(kSliceLabels), rsSlice(kSliceLabels);
    for (std::size_t done = 0, labels = gt.labelCount(); done < labels; done += kSliceLabels) {
        const std::size_t n = std::min(kSliceLabels, labels - done);
        if (auto error = gt.read(gtSlice.data(), n)) return error;
        if (auto error = rs.read(rsSlice.data(), n)) return error;
        if (!fn(gtSlice.data(), rsSlice.data(), n)) break;
    }
    return std::nullopt;
}

ReadResult readLabelMap(const fs::path& path, MapKind kind, bool readHeader, PageSize& size) {
    auto opened = LabelMapFile::open(path, readHeader, size, kind);
    if (auto* error = std::get_if<Failure>(&opened)) return std::move(*error);
    LabelMapFile& file = std::get<LabelMapFile>(opened);

    LabelMap map;
    try {
        map = LabelMap(file.size().width, file.size().height);
    } catch (const std::bad_alloc&) {
        return problem(FailureKind::MapAllocation, path, kind);
    }

    std::int32_t* out = map.data();
    const std::size_t labels = file.labelCount();
    // Each slice is checked while in cache; a file cut short further on is
    // still named before a negative label.
    std::optional<Failure> negative;
    for (std::size_t done = 0; done < labels;) {
        const std::size_t slice = std::min(kSliceLabels, labels - done);
        if (auto error = file.read(out + done, slice)) return std::move(*error);
        if (!negative) negative = file.negativeIn(out + done, slice, done);
        done += slice;
    }
    if (negative) return std::move(*negative);
    size = file.size();
    return map;
}

ReadResult ReadGT(const fs::path& map, bool readHeader, PageSize& size) {
    return readLabelMap(map, MapKind::GroundTruth, readHeader, size);
}

ReadResult ReadRS(const fs::path& map, bool readHeader, PageSize& size) {
    return readLabelMap(map, MapKind::Result, readHeader, size);
}

// Runs are cut at row ends, so each lies on one row.
void RegionTableBuilder::add(const std::int32_t* labels, std::size_t count) {
    for (std::size_t i = 0; i < count;) {
        const std::size_t x = (fed_ + i) % width_, begin = i;
        const auto y = static_cast<std::int32_t>((fed_ + i) / width_);
        const std::size_t rowEnd = std::min(count, i + (width_ - x));
        while (i < rowEnd) {
            const std::int32_t label = labels[i];
            const std::size_t start = i;
            while (i < rowEnd && labels[i] == label) ++i;
            if (label == 0) continue;
            const auto x0 = static_cast<std::int32_t>(x + (start - begin));
            const auto x1 = static_cast<std::int32_t>(x + (i - 1 - begin));
            RegionBox& box = boxes_[static_cast<std::uint64_t>(label)];
            if (box.label == 0) {
                box = {label, x0, y, x1, y};
            } else {
                box.left = std::min(box.left, x0);
                box.right = std::max(box.right, x1);
                box.bottom = y;
            }
        }
    }
    fed_ += count;
}

RegionTable RegionTableBuilder::finish() const {
    RegionTable table;
    table.regions.reserve(boxes_.size());
    boxes_.forEach([&](std::uint64_t, const RegionBox& box) { table.regions.push_back(box); });
    std::sort(table.regions.begin(), table.regions.end(),
              [](const RegionBox& a, const RegionBox& b) { return a.label < b.label; });
    return table;
}

RegionTable buildRegionTable(const LabelMap& map) {
    RegionTableBuilder builder(map.width());
    builder.add(map.data(), map.pixelCount());
    return builder.finish();
}

std::optional<Failure> streamLabelMap(const fs::path& path, MapKind kind, bool readHeader, PageSize& size,
                                      const std::function<void(const std::int32_t*, std::size_t)>& sink) {
    auto opened = LabelMapFile::open(path, readHeader, size, kind);
    if (auto* error = std::get_if<Failure>(&opened)) return std::move(*error);
    LabelMapFile& file = std::get<LabelMapFile>(opened);
    size = file.size();
    thread_local std::vector<std::int32_t> slice(kSliceLabels);
    const std::size_t labels = file.labelCount();
    for (std::size_t done = 0; done < labels;) {
        const std::size_t n = std::min(kSliceLabels, labels - done);
        if (auto error = file.read(slice.data(), n)) return error;
        if (auto negative = file.negativeIn(slice.data(), n, done)) return negative;
        sink(slice.data(), n);
        done += n;
    }
    return std::nullopt;
}

}  // namespace corvanel
