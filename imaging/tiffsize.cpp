#include "imaging/tiffsize.h"

#include <tiffio.h>

#include <array>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanel::imaging {

namespace {

// libtiff's first directory costs a small page about as much as reading its
// maps: a few allocations, a sorted table of every known tag, six system
// calls. The usual page (one strip or a few, one sample, a common
// compression, a handful of tags) is read here instead; whatever departs
// from it goes to libtiff, which decides alone. The fuzzer holds the two to
// the same answer wherever this one gives one.
class PlainTiff {
public:
    PlainTiff(int fd, std::uint64_t fileBytes) : fd_(fd), fileBytes_(fileBytes) {
        const ssize_t got = ::pread(fd_, head_.data(), head_.size(), 0);
        if (got < 8) return;
        headBytes_ = static_cast<std::size_t>(got);
        big_ = std::memcmp(head_.data(), "MM\0*", 4) == 0;
        tiff_ = big_ || std::memcmp(head_.data(), "II*\0", 4) == 0;
    }

    // Classic TIFF, either byte order (BigTIFF is libtiff's).
    bool isTiff() const { return tiff_; }

    std::optional<PageSize> size() {
        if (!tiff_) return std::nullopt;
        const std::uint64_t at = number(head_.data() + 4, 4);
        if (at < 8 || at + 2 > fileBytes_) return std::nullopt;
        const unsigned char* dir = bytesAt(at, 2);
        if (!dir) return std::nullopt;
        const std::uint64_t count = number(dir, 2);
        if (count == 0 || count > kMostEntries || at + 2 + 12 * count + 4 > fileBytes_) return std::nullopt;
        const unsigned char* entries = bytesAt(at + 2, 12 * count);
        if (!entries) return std::nullopt;
        Fields f;
        for (std::uint64_t i = 0, previous = 0; i < count; ++i) {
            const unsigned char* e = entries + 12 * i;
            const std::uint64_t tag = number(e, 2);
            if (i > 0 && tag <= previous) return std::nullopt;
            previous = tag;
            if (!take(f, tag, number(e + 2, 2), number(e + 4, 4), e + 8)) return std::nullopt;
        }
        if (!f.width || !f.length || !f.photometric || !f.strips || !f.stripBytes || *f.width > INT32_MAX ||
            *f.length > INT32_MAX)
            return std::nullopt;
        const std::uint64_t rows = std::min(f.rowsPerStrip, *f.length);
        const std::uint64_t strips = (*f.length + rows - 1) / rows;
        if (*f.strips != strips || *f.stripBytes != strips) return std::nullopt;
        return PageSize{static_cast<std::int32_t>(*f.width), static_cast<std::int32_t>(*f.length)};
    }

private:
    static constexpr std::uint64_t kMostEntries = 64;

    struct Fields {
        std::optional<std::uint64_t> width, length, photometric, strips, stripBytes;
        std::uint64_t rowsPerStrip = UINT32_MAX;
    };

    // One entry: false for anything not plain.
    bool take(Fields& f, std::uint64_t tag, std::uint64_t type, std::uint64_t count, const unsigned char* value) {
        constexpr std::uint64_t ascii = 2, shortType = 3, longType = 4, rational = 5;
        const bool integer = type == shortType || type == longType;
        const auto one = [&](std::uint64_t least, std::uint64_t most) -> std::optional<std::uint64_t> {
            if (!integer || count != 1) return std::nullopt;
            const std::uint64_t v = number(value, type == shortType ? 2 : 4);
            if (v < least || v > most) return std::nullopt;
            return v;
        };
        const auto outOfLine = [&](std::uint64_t bytes) {
            return bytes <= 4 || number(value, 4) + bytes <= fileBytes_;
        };
        switch (tag) {
        case 254:  // NewSubfileType
            return type == longType && count == 1;
        case 256:
            return bool(f.width = one(1, UINT32_MAX));
        case 257:
            return bool(f.length = one(1, UINT32_MAX));
        case 258: {  // BitsPerSample
            const auto bits = one(1, 16);
            return bits && (*bits == 1 || *bits == 2 || *bits == 4 || *bits == 8 || *bits == 16);
        }
        case 259: {  // Compression: none, CCITT, LZW, deflate, PackBits
            const auto c = one(1, UINT16_MAX);
            return c && (*c == 1 || *c == 2 || *c == 3 || *c == 4 || *c == 5 || *c == 8 || *c == 32773 ||
                         *c == 32946);
        }
        case 262:  // black or white is zero
            return bool(f.photometric = one(0, 1));
        case 266:  // FillOrder
            return bool(one(1, 2));
        case 269: case 270: case 271: case 272: case 285: case 305: case 306: case 315:  // texts
            return type == ascii && outOfLine(count);
        case 273:
        case 279: {  // strips' offsets and byte counts: checked against the strips' number below
            if (!integer || count == 0 || count > UINT32_MAX) return false;
            (tag == 273 ? f.strips : f.stripBytes) = count;
            return outOfLine(count * (type == shortType ? 2 : 4));
        }
        case 274:  // Orientation
            return bool(one(1, 8));
        case 277:  // SamplesPerPixel
            return bool(one(1, 1));
        case 278: {
            const auto rows = one(1, UINT32_MAX);
            if (rows) f.rowsPerStrip = *rows;
            return bool(rows);
        }
        case 282: case 283:  // resolutions
            return type == rational && count == 1 && outOfLine(8);
        case 284:  // PlanarConfiguration
            return bool(one(1, 1));
        case 292: case 293:  // group 3 and 4 options
            return type == longType && count == 1;
        case 296:  // ResolutionUnit
            return bool(one(1, 3));
        case 317:  // Predictor: none
            return bool(one(1, 1));
        default:
            return false;
        }
    }

    std::uint64_t number(const unsigned char* p, int bytes) const {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v = big_ ? v << 8 | p[i] : v | std::uint64_t{p[i]} << (8 * i);
        return v;
    }

    // bytes at offset, from the head read or one more read; nullptr when short.
    const unsigned char* bytesAt(std::uint64_t offset, std::uint64_t bytes) {
        if (offset + bytes <= headBytes_) return head_.data() + offset;
        if (bytes > more_.size() || ::pread(fd_, more_.data(), bytes, static_cast<off_t>(offset)) !=
                                        static_cast<ssize_t>(bytes))
            return nullptr;
        return more_.data();
    }

    int fd_;
    std::uint64_t fileBytes_;
    bool big_ = false, tiff_ = false;
    std::array<unsigned char, 4096> head_{};
    std::size_t headBytes_ = 0;
    std::array<unsigned char, 12 * kMostEntries> more_{};
};

std::optional<PageSize> libtiffSize(int fd, const std::filesystem::path& path) {
    // "m": read, not mapped, so a file cut short under us is an error, not SIGBUS.
    TIFF* tiff = TIFFFdOpen(fd, path.c_str(), "rm");
    if (!tiff) {
        ::close(fd);
        return std::nullopt;
    }
    std::uint32_t width = 0, height = 0;
    std::uint16_t photometric = 0;
    const bool complete = TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
                          TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) == 1 &&
                          TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) == 1;
    TIFFClose(tiff);  // closes fd
    if (!complete || width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return std::nullopt;
    return PageSize{static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

}  // namespace

// Straight from the file or libtiff, the library Qt's TIFF plugin reads it
// with: a batch of small pages spends a fraction of the time it would
// through QImageReader.
std::optional<PageSize> readTiffSize(const std::filesystem::path& path, TiffReader reader) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    PlainTiff plain(fd, static_cast<std::uint64_t>(info.st_size));
    if (!plain.isTiff()) {
        ::close(fd);
        return std::nullopt;
    }
    if (reader != TiffReader::Libtiff) {
        const std::optional<PageSize> size = plain.size();
        if (size || reader == TiffReader::Plain) {
            ::close(fd);
            return size;
        }
    }
    return libtiffSize(fd, path);
}

void quietTiff() {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
}

}  // namespace corvanel::imaging
