#pragma once

#include "eval/failure.h"
#include "eval/flat_map.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvanel {

struct PageSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
    friend bool operator==(const PageSize&, const PageSize&) = default;
};

// "WxH", as messages give a size.
std::string sizeText(PageSize size);

// One 32-bit label per pixel, row by row. Labels are never negative once read.
namespace detail {
// Hands a map's freed storage back for the next map of its size (labelmap.cpp).
struct RecycleLabels {
    std::size_t count = 0;
    void operator()(std::int32_t* labels) const;
};
}  // namespace detail

class LabelMap {
public:
    LabelMap() = default;
    // Allocates width x height labels, uninitialised.
    LabelMap(std::int32_t width, std::int32_t height);

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    PageSize size() const { return {width_, height_}; }
    std::size_t pixelCount() const {
        return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    }
    const std::int32_t* data() const { return labels_.get(); }
    std::int32_t* data() { return labels_.get(); }
    std::int32_t at(std::int32_t x, std::int32_t y) const {
        return labels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                       static_cast<std::size_t>(x)];
    }

private:
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::unique_ptr<std::int32_t[], detail::RecycleLabels> labels_;
};

// A label map or the reason it could not be read.
class ReadResult {
public:
    ReadResult(LabelMap map) : value_(std::move(map)) {}
    ReadResult(Failure error) : value_(std::move(error)) {}
    bool ok() const { return std::holds_alternative<LabelMap>(value_); }
    LabelMap& map() { return std::get<LabelMap>(value_); }
    const Failure& error() const { return std::get<Failure>(value_); }

private:
    std::variant<LabelMap, Failure> value_;
};

// Receives two maps' labels in step: count of each, from gt and rs; false
// to stop reading.
using PairSink = std::function<bool(const std::int32_t* gt, const std::int32_t* rs, std::size_t count)>;

// A label-map file opened and checked (header, size against the file's
// length), ready to be read slice by slice.
class LabelMapFile {
public:
    // Opens the map of size.width x size.height labels, or of the size its
    // header gives. Fails as readLabelMap does, before any label is read;
    // `side` goes into its failures.
    static std::variant<LabelMapFile, Failure> open(const std::filesystem::path& path, bool readHeader,
                                                    PageSize size, std::optional<MapKind> side = std::nullopt);

    LabelMapFile(LabelMapFile&& other) noexcept;
    LabelMapFile& operator=(LabelMapFile&&) = delete;
    LabelMapFile(const LabelMapFile&) = delete;
    ~LabelMapFile();

    PageSize size() const { return size_; }
    std::size_t labelCount() const;
    // The next `count` labels; on failure, the message naming the file.
    std::optional<Failure> read(std::int32_t* out, std::size_t count);
    // The refusal of the map for the first negative label among `count` of
    // its labels, the first of them its label number `first`; nothing when
    // none is negative.
    std::optional<Failure> negativeIn(const std::int32_t* labels, std::size_t count, std::size_t first) const;
    // Reads the whole map again, a slice at a time, whatever has been read
    // so far: its first negative label, or why it could not be read; nothing
    // for a sound map.
    std::optional<Failure> firstProblem() const;

private:
    LabelMapFile(std::filesystem::path path, int fd, PageSize size, std::optional<MapKind> side)
        : path_(std::move(path)), fd_(fd), size_(size), side_(side) {}
    std::filesystem::path path_;
    int fd_;
    PageSize size_;
    std::optional<MapKind> side_;
    std::uint64_t firstLabelAt_ = 0;  // bytes of header before it
};

// Reads two opened maps of one size in step, a slice of each at a time, into
// fn(gt, rs, count) until it returns false; the first read failure. A file
// cut short while it is read is such a failure.
std::optional<Failure> readInStep(LabelMapFile& gt, LabelMapFile& rs, const PairSink& fn);

// Reads a label map of size.width x size.height labels, or, with readHeader, of
// the size its 8-byte header gives; that size is then stored into `size`, but
// only once the map has been read whole. Never allocates more than the file
// can fill. `kind` is the side named in its failures.
ReadResult readLabelMap(const std::filesystem::path& path, MapKind kind, bool readHeader,
                        PageSize& size);

// readLabelMap of the page's ground-truth map and of its result map.
ReadResult ReadGT(const std::filesystem::path& map, bool readHeader, PageSize& size);
ReadResult ReadRS(const std::filesystem::path& map, bool readHeader, PageSize& size);

// Bounding box and presence of each label that occurs in a map, for drawing.
struct RegionBox {
    std::int32_t label;
    std::int32_t left, top, right, bottom;  // inclusive
};

struct RegionTable {
    std::vector<RegionBox> regions;  // ascending label
    std::size_t regionCount() const { return regions.size(); }
};

// The region table of a map fed slice by slice, row-major from its first
// label.
class RegionTableBuilder {
public:
    explicit RegionTableBuilder(std::int32_t width) : width_(static_cast<std::size_t>(std::max(width, 1))) {}
    void add(const std::int32_t* labels, std::size_t count);
    RegionTable finish() const;

private:
    std::size_t width_;
    std::size_t fed_ = 0;
    detail::FlatMap<RegionBox> boxes_;
};

RegionTable buildRegionTable(const LabelMap& map);

// Reads the map as readLabelMap does, with the same checks and errors, but a
// slice at a time into sink(labels, count), so no map is held whole. `size`
// is the map's once it is open, before the first slice. A failure may come
// after some slices went to the sink.
std::optional<Failure> streamLabelMap(const std::filesystem::path& path, MapKind kind, bool readHeader,
                                      PageSize& size,
                                      const std::function<void(const std::int32_t*, std::size_t)>& sink);

}  // namespace corvanel
