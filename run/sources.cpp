#include "run/sources.h"

#include "formats/ink.h"
#include "formats/png_labels.h"
#include "formats/rasterise.h"
#include "formats/xml_regions.h"

#include <new>

namespace corvanel {

namespace fs = std::filesystem;

namespace {

Failure fileProblem(const MapSource& source, MapKind side, Level level, std::string why) {
    return {FailureKind::MapMalformed, source.path, side, level, std::move(why), {}};
}

}  // namespace

std::variant<std::shared_ptr<const std::vector<std::uint8_t>>, Failure> PageInk::get() {
    if (found_) return *found_;
    const auto refuse = [&](std::string why) {
        return Failure{FailureKind::PageImage, image_, {}, {}, {}, "its ink: " + std::move(why)};
    };
    if (!reader_) {
        found_ = refuse("no decoder for page images");
        return *found_;
    }
    try {
        auto decoded = reader_(image_);
        if (auto* why = std::get_if<std::string>(&decoded)) {
            found_ = refuse(*why);
        } else {
            const GreyImage& grey = std::get<GreyImage>(decoded);
            if (grey.width != size_.width || grey.height != size_.height) {
                found_ = refuse("the image decodes at " + sizeText({grey.width, grey.height}) + ", its header says " +
                                sizeText(size_));
            } else {
                const GreyPage page{grey.pixels.data(), grey.width, grey.height, static_cast<std::size_t>(grey.width)};
                found_ = std::make_shared<const std::vector<std::uint8_t>>(findInk(page).ink);
            }
        }
    } catch (const std::bad_alloc&) {
        found_ = Failure{FailureKind::Allocation, {}, {}, {}, {}, {}};
    }
    return *found_;
}

std::variant<LoadedSide, Failure> loadSide(const Workspace& workspace, const SourceSettings& settings, MapKind side,
                                           Level level, const std::string& name, PageSize size, PageInk& ink) {
    auto found = workspace.source(side, level, name);
    if (auto* refused = std::get_if<Failure>(&found)) return std::move(*refused);
    LoadedSide out;
    out.source = std::get<MapSource>(std::move(found));
    const MapSource& source = out.source;
    if (source.kind == MapSource::Kind::Dat) return out;

    try {
        if (source.kind == MapSource::Kind::Png) {
            auto read = readPngLabels(source.path, size);
            if (auto* problem = std::get_if<PngProblem>(&read)) return fileProblem(source, side, level, problem->message);
            out.map = std::make_shared<const LabelMap>(std::get<LabelMap>(std::move(read)));
            return out;
        }

        auto read = readRegionXmlFile(source.path, size);
        if (auto* problem = std::get_if<XmlProblem>(&read)) {
            std::string where = problem->line ? "line " + std::to_string(problem->line) + ": " : "";
            return fileProblem(source, side, level, where + problem->message);
        }
        const RegionDocument& document = std::get<RegionDocument>(read);
        const std::vector<Region>& regions = level == Level::Lines ? document.lines : document.words;
        for (const Region& region : regions)
            if (region.polygon.size() < 3)
                return fileProblem(source, side, level,
                                   "line " + std::to_string(region.line) + ": region " + region.id +
                                       " has fewer than three points");
        std::vector<std::string> warnings;
        auto map = std::make_shared<LabelMap>(rasterise(regions, size, &warnings));
        for (std::string& warning : warnings)
            out.notes.push_back({FailureKind::RegionNote, source.path, side, level,
                                 std::move(warning) + "; it is kept with no pixels", {}});
        if (settings.pixels == PolygonPixels::Ink && !settings.inkOnly) {
            auto counted = ink.get();
            if (auto* problem = std::get_if<Failure>(&counted)) return std::move(*problem);
            keepCounted(map->data(), std::get<0>(counted)->data(), map->pixelCount(), map->data());
        }
        out.map = std::move(map);
        for (const Region& region : regions) out.ids.push_back(region.id);
    } catch (const std::bad_alloc&) {
        return Failure{FailureKind::MapAllocation, source.path, side, level, {}, {}};
    }
    return out;
}

std::optional<Failure> streamSide(const Workspace& workspace, const SourceSettings& settings, bool readHeader,
                                  MapKind side, Level level, const std::string& name, PageSize& size,
                                  const std::function<void(const std::int32_t*, std::size_t)>& sink) {
    PageInk ink(workspace.pageImage(name), size, settings.greyPage);
    auto loaded = loadSide(workspace, settings, side, level, name, size, ink);
    if (auto* problem = std::get_if<Failure>(&loaded)) return std::move(*problem);
    const LoadedSide& source = std::get<LoadedSide>(loaded);
    std::shared_ptr<const std::vector<std::uint8_t>> counted;
    if (settings.inkOnly) {
        auto found = ink.get();
        if (auto* problem = std::get_if<Failure>(&found)) return std::move(*problem);
        counted = std::get<0>(std::move(found));
    }
    std::vector<std::int32_t> buffer;
    std::size_t done = 0;
    bool covered = true;
    const auto feed = [&](const std::int32_t* labels, std::size_t n) {
        covered = covered && counted && done + n <= counted->size();
        if (covered) {
            buffer.resize(n);
            keepCounted(labels, counted->data() + done, n, buffer.data());
            labels = buffer.data();
        }
        done += n;
        sink(labels, n);
    };
    if (!source.map) {
        if (auto problem = streamLabelMap(source.source.path, side, readHeader, size, feed)) return problem;
    } else {
        size = source.map->size();
        constexpr std::size_t kSlice = std::size_t{1} << 16;
        for (std::size_t at = 0, all = source.map->pixelCount(); at < all; at += kSlice)
            feed(source.map->data() + at, std::min(kSlice, all - at));
    }
    if (counted && done != counted->size())
        return inkMismatch(name, size);
    return std::nullopt;
}

}  // namespace corvanel
