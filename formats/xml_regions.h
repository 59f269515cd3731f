#pragma once

// Reads text lines and words from PAGE XML (2009 to 2019 schemas) and ALTO
// (v2 to v4, or without a namespace), told apart by the root element.

#include "eval/labelmap.h"
#include "formats/regions.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvanel {

// Why a file could not be read, as a sentence without the file's name.
struct XmlProblem {
    std::string message;
    std::size_t line = 0;  // 0: none
};

// The regions of a PAGE or ALTO document, coordinates in image pixels.
// `imageSize` is the page image's: ALTO in mm10 or inch1200 is scaled to it,
// and a file in pixels that states another size is refused.
std::variant<RegionDocument, XmlProblem> readRegionXml(std::string_view bytes,
                                                       std::optional<PageSize> imageSize = std::nullopt);

std::variant<RegionDocument, XmlProblem> readRegionXmlFile(const std::filesystem::path& path,
                                                           std::optional<PageSize> imageSize = std::nullopt);

}  // namespace corvanel
