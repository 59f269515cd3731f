// The PNG label reader on any bytes, from memory and from a file, with and
// without the page image's size; then on the same bytes with every chunk's
// checksum made right, so that mutations get past libpng's checks into the
// header and the rows.

#include "fuzz/fuzz_support.h"
#include "formats/png_labels.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

using namespace corvanel;

namespace {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<std::uint8_t> withChunkChecksums(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> out(data, data + size);
    std::size_t at = 8;
    while (out.size() >= 12 && at <= out.size() - 12) {
        const std::uint32_t length = std::uint32_t{out[at]} << 24 | std::uint32_t{out[at + 1]} << 16 |
                                     std::uint32_t{out[at + 2]} << 8 | out[at + 3];
        if (length > out.size() - at - 12) break;
        const std::uint32_t crc = crc32(&out[at + 4], length + 4);
        for (int i = 0; i < 4; ++i) out[at + 8 + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        at += 12 + length;
    }
    return out;
}

bool sameLabels(const LabelMap& a, const LabelMap& b) {
    return a.size() == b.size() && std::equal(a.data(), a.data() + a.pixelCount(), b.data());
}

void check(const std::vector<std::uint8_t>& bytes, const fuzz::ScratchFile& file) {
    file.write(bytes.data(), bytes.size());
    const PageSize page{64, 48};
    const auto free = readPngLabels(std::span<const std::uint8_t>(bytes), std::nullopt);
    for (const std::optional<PageSize> given : {std::optional<PageSize>(), std::optional<PageSize>(page)}) {
        const auto fromMemory = readPngLabels(std::span<const std::uint8_t>(bytes), given);
        const auto fromFile = readPngLabels(file.path(), given);
        // A file and its bytes in memory read alike.
        CORVANEL_FUZZ_CHECK(fromMemory.index() == fromFile.index());
        if (const auto* problem = std::get_if<PngProblem>(&fromMemory)) {
            CORVANEL_FUZZ_CHECK(!problem->message.empty());
            CORVANEL_FUZZ_CHECK(problem->message == std::get<PngProblem>(fromFile).message);
            // An image read without a size is refused with one only for being another size.
            if (const auto* map = std::get_if<LabelMap>(&free))
                CORVANEL_FUZZ_CHECK(map->size() != page && problem->message.starts_with("is "));
            continue;
        }
        const LabelMap& map = std::get<LabelMap>(fromMemory);
        CORVANEL_FUZZ_CHECK(map.width() > 0 && map.height() > 0);
        CORVANEL_FUZZ_CHECK(!given || map.size() == *given);
        CORVANEL_FUZZ_CHECK(std::all_of(map.data(), map.data() + map.pixelCount(),
                                        [](std::int32_t label) { return label >= 0 && label < (1 << 24); }));
        CORVANEL_FUZZ_CHECK(sameLabels(map, std::get<LabelMap>(fromFile)));
        CORVANEL_FUZZ_CHECK(std::holds_alternative<LabelMap>(free) && sameLabels(map, std::get<LabelMap>(free)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fuzz::ScratchFile file("labels.png");
    const std::vector<std::uint8_t> bytes(data, data + size);
    check(bytes, file);
    const std::vector<std::uint8_t> repaired = withChunkChecksums(data, size);
    if (repaired != bytes) check(repaired, file);
    return 0;
}
