#include "formats/png_labels.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace corvanel;

namespace {

struct Image {
    png_uint_32 width, height;
    int colour, depth;
    std::vector<std::uint32_t> samples;  // row by row, channel by channel; none: the header, then a stub of image data
};

enum class Layout { Plain, Interlaced };

void append(png_structp png, png_bytep data, std::size_t count) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + count);
}

void flushNothing(png_structp) {}

// A PNG file of the image, written by libpng; `chunks` adds transparency and
// gamma chunks to a grey image.
std::vector<std::uint8_t> encode(const Image& image, Layout layout = Layout::Plain, bool chunks = false) {
    std::vector<std::uint8_t> bytes;
    std::vector<std::vector<std::uint8_t>> rows(image.samples.empty() ? 0 : image.height);
    const std::size_t perRow = image.samples.size() / std::max<std::size_t>(image.height, 1);
    for (std::size_t y = 0; y < rows.size(); ++y)
        for (std::size_t i = 0; i < perRow; ++i) {
            const std::uint32_t sample = image.samples[y * perRow + i];
            if (image.depth == 16) rows[y].push_back(static_cast<std::uint8_t>(sample >> 8));
            rows[y].push_back(static_cast<std::uint8_t>(sample));
        }
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        ADD_FAILURE() << "libpng could not write the test image";
        return {};
    }
    png_set_write_fn(png, &bytes, append, flushNothing);
    png_set_IHDR(png, info, image.width, image.height, image.depth, image.colour,
                 layout == Layout::Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[2] = {{0, 0, 0}, {255, 255, 255}};
    if (image.colour == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, 2);
    png_color_16 transparent{};
    if (chunks) {
        png_set_tRNS(png, info, nullptr, 0, &transparent);
        png_set_gAMA(png, info, 0.45);
    }
    png_write_info(png, info);
    if (rows.empty()) {
        const png_byte stub[2] = {0x78, 0x9c};
        png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), stub, sizeof stub);
    } else {
        png_write_image(png, pointers.data());
        png_write_end(png, nullptr);
    }
    png_destroy_write_struct(&png, &info);
    return bytes;
}

std::vector<std::int32_t> labelsOf(const std::variant<LabelMap, PngProblem>& result, PageSize size) {
    if (const auto* problem = std::get_if<PngProblem>(&result)) {
        ADD_FAILURE() << "refused: " << problem->message;
        return {};
    }
    const LabelMap& map = std::get<LabelMap>(result);
    EXPECT_EQ(map.size(), size);
    return {map.data(), map.data() + map.pixelCount()};
}

// R + 256 G + 65536 B of each label, for an RGB image's samples.
std::vector<std::uint32_t> rgbSamples(const std::vector<std::int32_t>& labels) {
    std::vector<std::uint32_t> samples;
    for (const std::int32_t label : labels)
        for (const int shift : {0, 8, 16}) samples.push_back((static_cast<std::uint32_t>(label) >> shift) & 255);
    return samples;
}

}  // namespace

TEST(PngLabels, LabelsAreTheSamplesExactly) {
    const std::vector<std::int32_t> greyLabels{0, 1, 255, 256, 4660, 65535};
    const Image grey{3, 2, PNG_COLOR_TYPE_GRAY, 16, {greyLabels.begin(), greyLabels.end()}};
    // The transparency and gamma chunks must not touch the samples.
    EXPECT_EQ(labelsOf(readPngLabels(encode(grey, Layout::Plain, true), PageSize{3, 2}), {3, 2}), greyLabels);

    const Image rgb{2, 2, PNG_COLOR_TYPE_RGB, 8, {0, 0, 0, 1, 2, 3, 255, 255, 255, 0, 0, 1}};
    const std::vector<std::int32_t> rgbLabels{0, 1 + 256 * 2 + 65536 * 3, 16777215, 65536};
    const corvanel::testing::TempDir dir;
    const std::vector<std::uint8_t> bytes = encode(rgb);
    corvanel::testing::writeBytes(dir.path() / "labels.png", std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(labelsOf(readPngLabels(dir.path() / "labels.png", std::nullopt), {2, 2}), rgbLabels);
}

TEST(PngLabels, InterlacedReadsAsPlain) {
    // Sizes below 8 leave some of the seven passes empty.
    for (const PageSize size : {PageSize{1, 1}, PageSize{3, 7}, PageSize{13, 11}}) {
        std::vector<std::int32_t> grey, rgb;
        for (std::int32_t i = 0; i < size.width * size.height; ++i) {
            grey.push_back((i * 7919 + 12345) % 65536);
            rgb.push_back((i * 1299709 + 77) % 16777216);
        }
        const auto w = static_cast<png_uint_32>(size.width), h = static_cast<png_uint_32>(size.height);
        const Image greyImage{w, h, PNG_COLOR_TYPE_GRAY, 16, {grey.begin(), grey.end()}};
        const Image rgbImage{w, h, PNG_COLOR_TYPE_RGB, 8, rgbSamples(rgb)};
        for (const Layout layout : {Layout::Plain, Layout::Interlaced}) {
            SCOPED_TRACE(::testing::Message() << size.width << "x" << size.height
                                            << (layout == Layout::Interlaced ? " interlaced" : ""));
            EXPECT_EQ(labelsOf(readPngLabels(encode(greyImage, layout), size), size), grey);
            EXPECT_EQ(labelsOf(readPngLabels(encode(rgbImage, layout), size), size), rgb);
        }
    }
}

TEST(PngLabels, RefusesWhatIsNotALabelImage) {
    const std::vector<std::uint8_t> good = encode({4, 3, PNG_COLOR_TYPE_GRAY, 16, std::vector<std::uint32_t>(12, 9)});
    std::vector<std::uint8_t> flipped = good;
    flipped[good.size() - 20] ^= 0x55;  // inside the image data, whose checksum then fails
    const std::string notPng = "P5\n4 3\n255\n";
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::optional<PageSize> expected;
        std::string start;
    };
    const Case cases[] = {
        {good, PageSize{4, 4}, "is 4x3 but the page image is 4x4"},
        {encode({4, 3, PNG_COLOR_TYPE_GRAY, 8, std::vector<std::uint32_t>(12, 9)}), std::nullopt,
         "is 8-bit grey; a label image is 16-bit grey or 24-bit RGB"},
        {encode({2, 1, PNG_COLOR_TYPE_RGB, 16, std::vector<std::uint32_t>(6, 9)}), std::nullopt, "is 48-bit RGB;"},
        {encode({2, 1, PNG_COLOR_TYPE_RGB_ALPHA, 8, std::vector<std::uint32_t>(8, 9)}), std::nullopt,
         "is 32-bit RGBA;"},
        {encode({2, 1, PNG_COLOR_TYPE_PALETTE, 8, {0, 1}}), std::nullopt, "is a palette image;"},
        {{good.begin(), good.end() - 20}, std::nullopt, "cannot be read: "},
        {{good.begin(), good.end() - 12}, std::nullopt, "cannot be read: "},  // all but the end chunk
        {flipped, std::nullopt, "cannot be read: "},
        {{notPng.begin(), notPng.end()}, std::nullopt, "is not a PNG image"},
        {{}, std::nullopt, "is not a PNG image"},
        // Headers alone: hostile sizes are refused before any map is allocated.
        {encode({1000000, 1000000, PNG_COLOR_TYPE_GRAY, 16, {}}), std::nullopt,
         "is 1000000x1000000, larger than a label image may be"},
        {encode({40000, 40000, PNG_COLOR_TYPE_RGB, 8, {}}), std::nullopt, "cannot be read: it is too short"},
    };
    for (const Case& c : cases) {
        const auto result = readPngLabels(c.bytes, c.expected);
        const auto* problem = std::get_if<PngProblem>(&result);
        ASSERT_NE(problem, nullptr) << c.start;
        EXPECT_TRUE(problem->message.starts_with(c.start)) << problem->message;
    }

    const corvanel::testing::TempDir dir;
    const auto messageOf = [](const std::filesystem::path& path) {
        const auto result = readPngLabels(path, std::nullopt);
        return std::holds_alternative<PngProblem>(result) ? std::get<PngProblem>(result).message : "read";
    };
    EXPECT_EQ(messageOf(dir.path()), "is a folder, not a file");
    EXPECT_TRUE(messageOf(dir.path() / "none.png").starts_with("cannot be opened: ")) << messageOf(dir.path() / "none.png");
}
