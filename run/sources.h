#pragma once

// Turns a page's sources into what the engine counts: label maps read as
// they are, PNG label images decoded, PAGE and ALTO polygons drawn at the
// page's size, and the page's ink when only ink counts.

#include "eval/evaluate.h"
#include "formats/ink.h"
#include "run/workspace.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvanel {

// Decodes a page image to grey; why not, in a few words, when it cannot.
using GreyReader = std::function<std::variant<GreyImage, std::string>(const std::filesystem::path&)>;

// Which pixels of a polygon count.
enum class PolygonPixels {
    Ink,    // those that are ink in the page image
    Region  // all of them
};

// One side of a page, ready for the engine.
struct LoadedSide {
    MapSource source;
    std::shared_ptr<const LabelMap> map;  // null for a .dat, which is streamed from its file
    std::vector<std::string> ids;         // element ids of labels 1..n, for a PAGE or ALTO file
    std::vector<Failure> notes;           // said, but the page is evaluated
};

// What a page's sources need besides the files.
struct SourceSettings {
    PolygonPixels pixels = PolygonPixels::Ink;
    bool inkOnly = false;  // both maps restricted to the page's ink, whatever their source
    GreyReader greyPage;   // needed when ink is
};

// The page's ink, found once and shared by both sides.
class PageInk {
public:
    PageInk(std::filesystem::path image, PageSize size, const GreyReader& reader)
        : image_(std::move(image)), size_(size), reader_(reader) {}
    // One byte a pixel, 1 for ink; or why the page's ink cannot be had.
    std::variant<std::shared_ptr<const std::vector<std::uint8_t>>, Failure> get();

private:
    std::filesystem::path image_;
    PageSize size_;
    const GreyReader& reader_;
    std::optional<std::variant<std::shared_ptr<const std::vector<std::uint8_t>>, Failure>> found_;
};

// One side of page `name` at the page's size: its source found in the
// workspace and, unless it is a .dat, read into memory (polygons with ink
// pixels only when the settings say so). The failure that keeps the page
// from being evaluated, naming the file.
std::variant<LoadedSide, Failure> loadSide(const Workspace& workspace, const SourceSettings& settings, MapKind side,
                                           Level level, const std::string& name, PageSize size, PageInk& ink);

// One side's labels as an evaluation counts them, slice by slice into
// `sink`, for a picture of them: `size` is the page's, and becomes the map's
// once a .dat's header has given it.
std::optional<Failure> streamSide(const Workspace& workspace, const SourceSettings& settings, bool readHeader,
                                  MapKind side, Level level, const std::string& name, PageSize& size,
                                  const std::function<void(const std::int32_t*, std::size_t)>& sink);

}  // namespace corvanel
