#include "python/page_images.h"

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvanel::python {

namespace {

namespace fs = std::filesystem;

// A file opened for reading only when it is a regular file, never blocking
// on anything else (a FIFO, a device).
class ImageFile {
public:
    explicit ImageFile(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            why_ = std::strerror(errno);
            return;
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            why_ = "not a regular file";
            close();
            return;
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        const ssize_t got = ::pread(fd_, magic_, sizeof magic_, 0);
        magicBytes_ = got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    ~ImageFile() {
        if (stream_) std::fclose(stream_);
        else close();
    }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& why() const { return why_; }
    int fd() const { return fd_; }
    // The file as a stream, owning the descriptor from then on.
    FILE* stream() {
        if (!stream_) stream_ = ::fdopen(fd_, "rb");
        return stream_;
    }
    // The descriptor handed to a library that closes it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    bool startsWith(const char* bytes, std::size_t n) const {
        return magicBytes_ >= n && std::memcmp(magic_, bytes, n) == 0;
    }

private:
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
    FILE* stream_ = nullptr;
    std::string why_;
    char magic_[8] = {};
    std::size_t magicBytes_ = 0;
};

enum class Format { Tiff, Png, Jpeg, Other };

Format formatOf(const ImageFile& file) {
    if (file.startsWith("II*\0", 4) || file.startsWith("MM\0*", 4) || file.startsWith("II+\0", 4) ||
        file.startsWith("MM\0+", 4))
        return Format::Tiff;
    if (file.startsWith("\x89PNG\r\n\x1a\n", 8)) return Format::Png;
    if (file.startsWith("\xff\xd8\xff", 3)) return Format::Jpeg;
    return Format::Other;
}

bool allocate(GreyImage& out, std::uint32_t width, std::uint32_t height) {
    if (width > INT32_MAX || height > INT32_MAX) return false;
    out.width = static_cast<std::int32_t>(width);
    out.height = static_cast<std::int32_t>(height);
    out.pixels.resize(static_cast<std::size_t>(width) * height);
    return true;
}

// A 16-bit sample to 8 bits, rounded as Qt's conversions round.
std::uint8_t eightOf(std::uint32_t v) { return static_cast<std::uint8_t>((v - (v >> 8) + 0x80) >> 8); }

// ---- TIFF -------------------------------------------------------------------

int tiffError(TIFF*, void* user, const char*, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    *static_cast<std::string*>(user) = text;
    return 1;
}

int tiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

std::string readTiff(ImageFile& file, const fs::path& path, bool headerOnly, GreyImage& out) {
    std::string error;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffError, &error);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffWarning, nullptr);
    TIFF* tiff = TIFFFdOpenExt(file.fd(), path.c_str(), "r", options);
    TIFFOpenOptionsFree(options);
    if (!tiff) return "cannot decode it: " + error;
    file.release();
    struct Closer {
        TIFF* t;
        ~Closer() { TIFFClose(t); }
    } closer{tiff};

    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE, planar = PLANARCONFIG_CONTIG;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height))
        return "cannot decode it: no size";
    if (headerOnly) {
        if (width > INT32_MAX || height > INT32_MAX) return "too large";
        out.width = static_cast<std::int32_t>(width);
        out.height = static_cast<std::int32_t>(height);
        return {};
    }
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    const bool hasPhotometric = TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 0;
    if (!allocate(out, width, height)) return "too large";
    std::uint8_t* px = out.pixels.data();

    const bool grey = photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK;
    const bool plain = hasPhotometric && !TIFFIsTiled(tiff) && planar == PLANARCONFIG_CONTIG &&
                       ((grey && samples == 1 && (bits == 1 || bits == 8 || bits == 16)) ||
                        (photometric == PHOTOMETRIC_RGB && samples == 3 && bits == 8));
    if (plain) {
        // Scanlines as stored: what Qt's TIFF reader makes of the usual pages.
        std::vector<std::uint8_t> row(static_cast<std::size_t>(TIFFScanlineSize64(tiff)));
        const bool white0 = photometric == PHOTOMETRIC_MINISWHITE;
        for (std::uint32_t y = 0; y < height; ++y, px += width) {
            if (TIFFReadScanline(tiff, row.data(), y, 0) < 0) return "cannot decode it: " + error;
            if (bits == 1) {
                for (std::uint32_t x = 0; x < width; ++x) {
                    const bool set = (row[x >> 3] >> (7 - (x & 7))) & 1;
                    px[x] = set != white0 ? 255 : 0;
                }
            } else if (bits == 8 && samples == 1) {
                for (std::uint32_t x = 0; x < width; ++x) px[x] = white0 ? 255 - row[x] : row[x];
            } else if (bits == 16) {
                const auto* wide = reinterpret_cast<const std::uint16_t*>(row.data());
                for (std::uint32_t x = 0; x < width; ++x) px[x] = eightOf(white0 ? 65535u - wide[x] : wide[x]);
            } else {
                for (std::uint32_t x = 0; x < width; ++x)
                    px[x] = greyOf(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
            }
        }
        return {};
    }
    // Anything else (palette, YCbCr, tiles, planes): libtiff's RGBA reader.
    std::vector<std::uint32_t> raster(static_cast<std::size_t>(width) * height);
    if (!TIFFReadRGBAImageOriented(tiff, width, height, raster.data(), ORIENTATION_TOPLEFT, 0))
        return "cannot decode it: " + error;
    for (std::size_t i = 0; i < raster.size(); ++i)
        px[i] = greyOf(static_cast<std::uint8_t>(TIFFGetR(raster[i])), static_cast<std::uint8_t>(TIFFGetG(raster[i])),
                       static_cast<std::uint8_t>(TIFFGetB(raster[i])));
    return {};
}

// ---- PNG --------------------------------------------------------------------

struct PngState {
    std::string error;
    std::vector<std::uint8_t> row;
    std::vector<png_bytep> rows;
};

void pngError(png_structp png, png_const_charp message) {
    static_cast<PngState*>(png_get_error_ptr(png))->error = message;
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

// No object with a destructor lives in this frame after setjmp: libpng's
// errors jump back here.
std::string readPng(FILE* stream, bool headerOnly, GreyImage& out, PngState& state) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, pngError, pngWarning);
    if (!png) return "not enough memory to decode it";
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "not enough memory to decode it";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "cannot decode it: " + state.error;
    }
    png_init_io(png, stream);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    if (headerOnly || width > INT32_MAX || height > INT32_MAX) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (width > INT32_MAX || height > INT32_MAX) return "too large";
        out.width = static_cast<std::int32_t>(width);
        out.height = static_cast<std::int32_t>(height);
        return {};
    }
    const int colour = png_get_color_type(png, info);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY) png_set_expand_gray_1_2_4_to_8(png);
    // Samples as stored: transparency is not composited.
    png_set_strip_alpha(png);
    png_set_scale_16(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int channels = png_get_channels(png, info);
    // Interlaced images are read whole; others a row at a time.
    const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    std::size_t rowBytes = png_get_rowbytes(png, info);
    try {
        allocate(out, width, height);
        state.row.resize(interlaced ? rowBytes * height : rowBytes);
        if (interlaced) state.rows.reserve(height);
    } catch (const std::bad_alloc&) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "not enough memory to decode it";
    }
    if (interlaced) {
        for (png_uint_32 y = 0; y < height; ++y) state.rows.push_back(state.row.data() + y * rowBytes);
        png_read_image(png, state.rows.data());
    }
    std::uint8_t* px = out.pixels.data();
    for (png_uint_32 y = 0; y < height; ++y, px += width) {
        const std::uint8_t* row = state.row.data() + (interlaced ? y * rowBytes : 0);
        if (!interlaced) png_read_row(png, state.row.data(), nullptr);
        if (channels == 1)
            std::memcpy(px, row, width);
        else
            for (png_uint_32 x = 0; x < width; ++x) px[x] = greyOf(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return {};
}

// ---- JPEG -------------------------------------------------------------------

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegFail(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void jpegQuiet(j_common_ptr) {}

// As readPng: nothing with a destructor after setjmp.
std::string readJpeg(FILE* stream, bool headerOnly, GreyImage& out, std::vector<std::uint8_t>& row) {
    jpeg_decompress_struct info {};
    JpegErrors errors {};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFail;
    errors.manager.output_message = jpegQuiet;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return std::string("cannot decode it: ") + errors.message;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, stream);
    jpeg_read_header(&info, TRUE);
    if (headerOnly || info.image_width > INT32_MAX || info.image_height > INT32_MAX) {
        out.width = static_cast<std::int32_t>(info.image_width);
        out.height = static_cast<std::int32_t>(info.image_height);
        jpeg_destroy_decompress(&info);
        return {};
    }
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        return "a CMYK JPEG, which the Python module does not read";
    }
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info);
    const std::uint32_t width = info.output_width, height = info.output_height;
    const int channels = info.output_components;
    try {
        allocate(out, width, height);
        row.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(channels));
    } catch (const std::bad_alloc&) {
        jpeg_destroy_decompress(&info);
        return "not enough memory to decode it";
    }
    std::uint8_t* px = out.pixels.data();
    while (info.output_scanline < height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
        if (channels == 1)
            std::memcpy(px, row.data(), width);
        else
            for (std::uint32_t x = 0; x < width; ++x) px[x] = greyOf(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
        px += width;
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return {};
}

std::string decode(const fs::path& path, bool headerOnly, GreyImage& out) {
    ImageFile file(path);
    if (!file.ok()) return "cannot open it: " + file.why();
    try {
        switch (formatOf(file)) {
            case Format::Tiff:
                return readTiff(file, path, headerOnly, out);
            case Format::Png: {
                FILE* stream = file.stream();
                if (!stream) return "cannot open it";
                PngState state;
                return readPng(stream, headerOnly, out, state);
            }
            case Format::Jpeg: {
                FILE* stream = file.stream();
                if (!stream) return "cannot open it";
                std::vector<std::uint8_t> row;
                return readJpeg(stream, headerOnly, out, row);
            }
            case Format::Other:
                break;
        }
    } catch (const std::bad_alloc&) {
        return "not enough memory to decode it";
    }
    return "not a TIFF, PNG or JPEG image, the formats the Python module reads (corvanel-eval reads the others)";
}

}  // namespace

std::optional<PageSize> pageImageSize(const fs::path& path) {
    GreyImage header;
    if (!decode(path, true, header).empty() || header.width <= 0 || header.height <= 0) return std::nullopt;
    return PageSize{header.width, header.height};
}

std::variant<GreyImage, std::string> readGreyPage(const fs::path& path) {
    GreyImage image;
    std::string why = decode(path, false, image);
    if (!why.empty()) return why;
    return image;
}

}  // namespace corvanel::python
