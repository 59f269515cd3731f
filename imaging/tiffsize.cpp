#include "tiffsize.h"

#include <tiffio.h>

#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanel::imaging {

// Straight from libtiff, the library Qt's TIFF plugin reads it with: a batch
// of small pages spends less than half the time it would through QImageReader.
std::optional<PageSize> readTiffSize(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    char magic[4] = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::pread(fd, magic, 4, 0) != 4 ||
        (std::memcmp(magic, "II*\0", 4) != 0 && std::memcmp(magic, "MM\0*", 4) != 0)) {
        ::close(fd);
        return std::nullopt;
    }
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

void quietTiff() {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
}

}  // namespace corvanel::imaging
