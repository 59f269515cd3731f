#include "formats/png_labels.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include <sys/stat.h>

namespace corvanel {

namespace {

constexpr std::uint32_t kMaxSide = 1'000'000;
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 31;
// Deflate makes at most 1032 bytes of one (a 258-byte match in two bits), so
// a file claiming more pixels than its bytes can hold is refused before its
// map is allocated.
constexpr std::uint64_t kMaxInflation = 1032;
constexpr std::uint64_t kInflationSlack = 4096;
// No chunk a label image needs is larger; libpng sizes IDAT by the image.
constexpr png_alloc_size_t kChunkMax = 8'000'000;

// Lives across longjmp, so plain data only.
struct Source {
    std::FILE* file;  // null: read `bytes`
    const std::uint8_t* bytes;
    std::size_t size;
    std::size_t at;
    char message[256];  // libpng's error
};

bool take(Source& source, std::uint8_t* out, std::size_t count, const char** why) {
    if (source.file) {
        if (std::fread(out, 1, count, source.file) == count) return true;
        *why = std::ferror(source.file) ? "a read failed" : "the file is cut short";
        return false;
    }
    if (source.size - source.at < count) {
        *why = "the file is cut short";
        return false;
    }
    std::memcpy(out, source.bytes + source.at, count);
    source.at += count;
    return true;
}

void readSource(png_structp png, png_bytep out, std::size_t count) {
    const char* why = nullptr;
    if (!take(*static_cast<Source*>(png_get_io_ptr(png)), out, count, &why)) png_error(png, why);
}

[[noreturn]] void fail(png_structp png, png_const_charp message) {
    auto* source = static_cast<Source*>(png_get_error_ptr(png));
    std::snprintf(source->message, sizeof source->message, "%s", message);
    png_longjmp(png, 1);
}

void ignoreWarning(png_structp, png_const_charp) {}

struct Header {
    png_uint_32 width, height;
    int depth, colour, interlace;
};

// The setjmp functions below hold nothing a longjmp could leak.
bool readHeader(png_structp png, png_infop info, Header& header) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    png_get_IHDR(png, info, &header.width, &header.height, &header.depth, &header.colour, &header.interlace,
                 nullptr, nullptr);
    return true;
}

bool readRows(png_structp png, png_infop info, const Header& header, std::uint8_t* row, std::int32_t* labels) {
    if (setjmp(png_jmpbuf(png))) return false;
    const bool grey = header.colour == PNG_COLOR_TYPE_GRAY;
    const bool interlaced = header.interlace == PNG_INTERLACE_ADAM7;
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const std::size_t width = header.width;
    if (png_get_rowbytes(png, info) != width * (grey ? 2 : 3)) png_error(png, "unexpected row length");
    for (int pass = 0; pass < passes; ++pass) {
        // Each pass writes only its own pixels into the row, so only those are taken.
        const std::size_t first = interlaced ? PNG_PASS_START_COL(pass) : 0;
        const std::size_t step = interlaced ? PNG_PASS_COL_OFFSET(pass) : 1;
        for (png_uint_32 y = 0; y < header.height; ++y) {
            png_read_row(png, row, nullptr);
            if (interlaced && !PNG_ROW_IN_INTERLACE_PASS(y, pass)) continue;
            std::int32_t* out = labels + std::size_t{y} * width;
            if (grey) {
                for (std::size_t x = first; x < width; x += step)
                    out[x] = row[2 * x] << 8 | row[2 * x + 1];  // big-endian samples
            } else {
                for (std::size_t x = first; x < width; x += step)
                    out[x] = row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16;
            }
        }
    }
    png_read_end(png, nullptr);
    return true;
}

std::string kind(const Header& header) {
    const std::string bits = std::to_string(header.depth);
    switch (header.colour) {
    case PNG_COLOR_TYPE_GRAY: return bits + "-bit grey";
    case PNG_COLOR_TYPE_GRAY_ALPHA: return bits + "-bit grey with alpha";
    case PNG_COLOR_TYPE_RGB: return std::to_string(3 * header.depth) + "-bit RGB";
    case PNG_COLOR_TYPE_RGB_ALPHA: return std::to_string(4 * header.depth) + "-bit RGBA";
    case PNG_COLOR_TYPE_PALETTE: return "a palette image";
    default: return "of colour type " + std::to_string(header.colour);
    }
}

std::string dimensions(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

struct ReadStruct {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadStruct() { png_destroy_read_struct(&png, &info, nullptr); }
};

// `available` bounds the compressed data: the input's length, when known.
std::variant<LabelMap, PngProblem> decode(Source& source, std::uint64_t available,
                                          std::optional<PageSize> expected) {
    std::uint8_t signature[8];
    const char* why = nullptr;
    if (!take(source, signature, sizeof signature, &why)) {
        if (source.file && std::ferror(source.file)) return PngProblem{std::string("cannot be read: ") + why};
        return PngProblem{"is not a PNG image"};
    }
    if (png_sig_cmp(signature, 0, sizeof signature) != 0) return PngProblem{"is not a PNG image"};

    ReadStruct reader;
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, fail, ignoreWarning);
    if (reader.png) reader.info = png_create_info_struct(reader.png);
    if (!reader.info) return PngProblem{"cannot be read: out of memory"};
    png_set_read_fn(reader.png, &source, readSource);
    png_set_sig_bytes(reader.png, sizeof signature);
    png_set_user_limits(reader.png, kMaxSide, kMaxSide);
    png_set_chunk_malloc_max(reader.png, kChunkMax);

    Header header{};
    if (!readHeader(reader.png, reader.info, header))
        return PngProblem{std::string("cannot be read: ") + source.message};
    const bool grey = header.colour == PNG_COLOR_TYPE_GRAY && header.depth == 16;
    const bool rgb = header.colour == PNG_COLOR_TYPE_RGB && header.depth == 8;
    if (!grey && !rgb) return PngProblem{"is " + kind(header) + "; a label image is 16-bit grey or 24-bit RGB"};
    if (expected && (header.width != static_cast<std::uint32_t>(expected->width) ||
                     header.height != static_cast<std::uint32_t>(expected->height)))
        return PngProblem{"is " + dimensions(header.width, header.height) + " but the page image is " +
                          dimensions(expected->width, expected->height)};
    const std::uint64_t pixels = std::uint64_t{header.width} * header.height;
    if (header.width > kMaxSide || header.height > kMaxSide || pixels > kMaxPixels)
        return PngProblem{"is " + dimensions(header.width, header.height) +
                          ", larger than a label image may be (1000000 a side, 2^31 pixels)"};
    const std::uint64_t sampleBytes = pixels * (grey ? 2 : 3);
    if (available < (std::numeric_limits<std::uint64_t>::max() - kInflationSlack) / kMaxInflation &&
        sampleBytes > available * kMaxInflation + kInflationSlack)
        return PngProblem{"cannot be read: it is too short to hold " + dimensions(header.width, header.height) +
                          " pixels"};

    LabelMap map;
    std::vector<std::uint8_t> row;
    try {
        map = LabelMap(static_cast<std::int32_t>(header.width), static_cast<std::int32_t>(header.height));
        row.resize(std::size_t{header.width} * (grey ? 2 : 3));
    } catch (const std::bad_alloc&) {
        return PngProblem{"is too large to hold in memory"};
    }
    if (!readRows(reader.png, reader.info, header, row.data(), map.data()))
        return PngProblem{std::string("cannot be read: ") + source.message};
    return map;
}

}  // namespace

std::variant<LabelMap, PngProblem> readPngLabels(std::span<const std::uint8_t> bytes,
                                                 std::optional<PageSize> expected) {
    Source source{nullptr, bytes.data(), bytes.size(), 0, {}};
    return decode(source, bytes.size(), expected);
}

std::variant<LabelMap, PngProblem> readPngLabels(const std::filesystem::path& path,
                                                 std::optional<PageSize> expected) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return PngProblem{"is a folder, not a file"};
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        const int why = errno;
        return PngProblem{"cannot be opened: " + std::generic_category().message(why)};
    }
    struct stat status {};
    // A pipe's length is unknown, so it is not bounded.
    const std::uint64_t available = ::fstat(fileno(file.get()), &status) == 0 && S_ISREG(status.st_mode)
                                        ? static_cast<std::uint64_t>(status.st_size)
                                        : std::numeric_limits<std::uint64_t>::max();
    Source source{file.get(), nullptr, 0, 0, {}};
    return decode(source, available, expected);
}

}  // namespace corvanel
