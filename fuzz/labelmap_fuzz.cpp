// The label-map reader on any file: with and without the size header, whole
// (readLabelMap) and slice by slice (LabelMapFile). Input: one byte for the
// header flag and the page size, then the file's bytes.

#include "fuzz/fuzz_support.h"
#include "eval/labelmap.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

using namespace corvanel;

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const fuzz::ScratchFile file("labelmap.dat");
    const bool header = (data[0] & 1) != 0;
    const PageSize given{1 + ((data[0] >> 1) & 7), 1 + (data[0] >> 4)};
    const std::size_t slice = static_cast<std::size_t>(given.width);
    const std::uint64_t fileBytes = size - 1;
    const std::uint64_t offset = header ? 8 : 0;
    file.write(data + 1, size - 1);

    std::vector<std::int32_t> whole;
    std::optional<FailureKind> failure;
    for (MapKind kind : {MapKind::GroundTruth, MapKind::Result}) {
        PageSize read = given;
        ReadResult result = readLabelMap(file.path(), kind, header, read);
        if (result.ok()) {
            const LabelMap& map = result.map();
            CORVANEL_FUZZ_CHECK(map.size() == read);
            CORVANEL_FUZZ_CHECK(header || read == given);
            CORVANEL_FUZZ_CHECK(offset + 4 * std::uint64_t{map.pixelCount()} <= fileBytes);
            CORVANEL_FUZZ_CHECK(std::none_of(map.data(), map.data() + map.pixelCount(),
                                             [](std::int32_t v) { return v < 0; }));
            whole.assign(map.data(), map.data() + map.pixelCount());
        } else {
            // The size is only stored once the map is read whole.
            CORVANEL_FUZZ_CHECK(read == given);
            const Failure& error = result.error();
            CORVANEL_FUZZ_CHECK(error.kind != FailureKind::MapMissing && error.side == kind);
            CORVANEL_FUZZ_CHECK(error.kind == FailureKind::MapAllocation ||
                                startsWith(boxText(error), "Problem with file " + file.path().filename().string()));
            failure = error.kind;
        }
    }

    auto opened = LabelMapFile::open(file.path(), header, given);
    if (const auto* error = std::get_if<Failure>(&opened)) {
        // readLabelMap opens the same way, so it failed the same way.
        CORVANEL_FUZZ_CHECK(failure == error->kind);
        return 0;
    }
    LabelMapFile& map = std::get<LabelMapFile>(opened);
    CORVANEL_FUZZ_CHECK(header || map.size() == given);
    // Checked before allocating: open must never promise more labels than the file holds.
    CORVANEL_FUZZ_CHECK(offset + 4 * std::uint64_t{map.labelCount()} <= fileBytes);
    std::vector<std::int32_t> labels(map.labelCount());
    for (std::size_t done = 0; done < labels.size(); done += slice) {
        const std::size_t n = std::min(slice, labels.size() - done);
        CORVANEL_FUZZ_CHECK(!map.read(labels.data() + done, n));
    }
    std::int32_t extra = 0;
    const bool moreRead = !map.read(&extra, 1);
    CORVANEL_FUZZ_CHECK(moreRead == (fileBytes - offset - 4 * std::uint64_t{labels.size()} >= 4));

    const bool negative = std::any_of(labels.begin(), labels.end(), [](std::int32_t v) { return v < 0; });
    if (negative) {
        CORVANEL_FUZZ_CHECK(failure == FailureKind::NegativeLabel);
    } else {
        CORVANEL_FUZZ_CHECK(!failure && whole == labels);
    }
    return 0;
}
