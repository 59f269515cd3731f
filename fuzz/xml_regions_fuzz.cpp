// The PAGE XML and ALTO reader on any bytes, with and without the page
// image's size, and the rasteriser on whatever it reads, at a small page.

#include "fuzz/fuzz_support.h"
#include "formats/rasterise.h"
#include "formats/xml_regions.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

using namespace corvanel;

namespace {

bool finite(const std::vector<Point>& points) {
    return std::all_of(points.begin(), points.end(),
                       [](Point p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

void checkRasterised(const std::vector<Region>& regions, PageSize page) {
    std::vector<std::string> warnings;
    const LabelMap map = rasterise(regions, page, &warnings);
    CORVANEL_FUZZ_CHECK(map.size() == page);
    const auto count = static_cast<std::int64_t>(regions.size());
    CORVANEL_FUZZ_CHECK(std::all_of(map.data(), map.data() + map.pixelCount(),
                                    [count](std::int32_t label) { return label >= 0 && label <= count; }));
    // At most one warning a region.
    CORVANEL_FUZZ_CHECK(warnings.size() <= regions.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
    const PageSize image{64, 48};
    for (const std::optional<PageSize> given : {std::optional<PageSize>(image), std::optional<PageSize>()}) {
        const auto result = readRegionXml(bytes, given);
        if (const auto* problem = std::get_if<XmlProblem>(&result)) {
            CORVANEL_FUZZ_CHECK(!problem->message.empty());
            CORVANEL_FUZZ_CHECK(problem->line <= lines);
            continue;
        }
        const RegionDocument& doc = std::get<RegionDocument>(result);
        // A size the file states in pixels must be the image's, once that is known.
        CORVANEL_FUZZ_CHECK(!given || !doc.declared || *doc.declared == *given);
        for (const auto* regions : {&doc.lines, &doc.words}) {
            for (const Region& region : *regions) {
                CORVANEL_FUZZ_CHECK(!region.id.empty());
                CORVANEL_FUZZ_CHECK(region.line >= 1 && region.line <= lines);
                CORVANEL_FUZZ_CHECK(finite(region.polygon) && finite(region.baseline));
            }
            checkRasterised(*regions, image);
        }
    }
    return 0;
}
