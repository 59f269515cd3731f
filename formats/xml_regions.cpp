#include "formats/xml_regions.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

namespace corvanel {

namespace {

constexpr std::string_view pageNamespacePrefix = "http://schema.primaresearch.org/PAGE/gts/pagecontent/";
constexpr std::string_view altoNamespaces[] = {
    "http://www.loc.gov/standards/alto/ns-v2#",
    "http://www.loc.gov/standards/alto/ns-v3#",
    "http://www.loc.gov/standards/alto/ns-v4#",
};

// Unwinds the reader to readRegionXml with what went wrong.
struct Refusal {
    XmlProblem problem;
};

std::string_view localName(const char* name) {
    const std::string_view full(name);
    const std::size_t colon = full.find(':');
    return colon == std::string_view::npos ? full : full.substr(colon + 1);
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::optional<double> number(std::string_view text) {
    text = trimmed(text);
    if (text.starts_with('+')) text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // from_chars takes "inf" and "nan", which no coordinate can be.
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// The numbers of a points list, separated by blanks and/or commas; nothing
// when one of them is not a number.
std::optional<std::vector<double>> numbers(std::string_view text) {
    constexpr std::string_view separators = " \t\r\n,";
    std::vector<double> values;
    std::size_t at = text.find_first_not_of(separators);
    while (at != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(separators, at), text.size());
        const std::optional<double> value = number(text.substr(at, end - at));
        if (!value) return std::nullopt;
        values.push_back(*value);
        at = text.find_first_not_of(separators, end);
    }
    return values;
}

pugi::xml_node child(pugi::xml_node parent, std::string_view name) {
    for (pugi::xml_node node = parent.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_element && localName(node.name()) == name) return node;
    return {};
}

bool isPageNamespace(std::string_view ns) {
    if (!ns.starts_with(pageNamespacePrefix)) return false;
    const std::string_view date = ns.substr(pageNamespacePrefix.size());
    if (date.size() != 10 || date[4] != '-' || date[7] != '-') return false;
    const auto digits = [&](std::size_t from, std::size_t count) {
        int value = 0;
        for (std::size_t i = from; i < from + count; ++i) {
            if (date[i] < '0' || date[i] > '9') return -1;
            value = value * 10 + (date[i] - '0');
        }
        return value;
    };
    const int year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
    return year >= 2009 && year <= 2019 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// Its id, or "line 3" for the third line when it has none (or an empty one).
std::string regionId(pugi::xml_attribute id, const char* kind, std::size_t nth) {
    if (!trimmed(id.value()).empty()) return id.value();
    return std::string(kind) + " " + std::to_string(nth);
}


class Reader {
public:
    Reader(std::string_view bytes, std::optional<PageSize> imageSize) : imageSize_(imageSize) {
        for (std::size_t i = bytes.find('\n'); i != std::string_view::npos; i = bytes.find('\n', i + 1))
            newlines_.push_back(i);
    }

    // 1-based line of a byte offset into the bytes; 0 when pugixml knows none.
    std::size_t lineAt(std::ptrdiff_t offset) const {
        if (offset < 0) return 0;
        return static_cast<std::size_t>(std::lower_bound(newlines_.begin(), newlines_.end(),
                                                         static_cast<std::size_t>(offset)) -
                                        newlines_.begin()) +
               1;
    }
    std::size_t lineOf(pugi::xml_node node) const { return lineAt(node.offset_debug()); }

    [[noreturn]] void refuse(std::string message, pugi::xml_node where) const {
        throw Refusal{{std::move(message), where ? lineOf(where) : 0}};
    }

    RegionDocument read(const pugi::xml_document& xml) {
        const pugi::xml_node root = xml.document_element();
        const std::string_view name = localName(root.name());
        const std::string_view full(root.name());
        const std::string prefix(full.substr(0, full.size() - name.size()));  // "" or "pc:"
        const std::string_view ns =
            root.attribute(prefix.empty() ? "xmlns" : ("xmlns:" + prefix.substr(0, prefix.size() - 1)).c_str())
                .value();
        if (name == "PcGts") {
            if (!isPageNamespace(ns)) refuse(unknownNamespace(ns), root);
            return readPage(root);
        }
        if (name == "alto") {
            const bool known = ns.empty() || std::find(std::begin(altoNamespaces), std::end(altoNamespaces), ns) !=
                                                 std::end(altoNamespaces);
            if (!known) refuse(unknownNamespace(ns), root);
            return readAlto(root);
        }
        refuse("unknown root element " + std::string(full), root);
    }

private:
    static std::string unknownNamespace(std::string_view ns) {
        return ns.empty() ? std::string("no namespace on the root element") : "unknown namespace " + std::string(ns);
    }

    // Every element under `top`, in document order, without recursing: a
    // file may nest deeper than the stack goes.
    template <class Visit>
    static void eachElement(pugi::xml_node top, Visit visit) {
        pugi::xml_node node = top.first_child();
        while (node && node != top) {
            if (node.type() == pugi::node_element) visit(node);
            if (node.first_child()) {
                node = node.first_child();
                continue;
            }
            while (node != top && !node.next_sibling()) node = node.parent();
            if (node != top) node = node.next_sibling();
        }
    }

    // The TextLine elements under `top` as lines and the `wordName` ones as
    // words, in document order, each made by make(node, kind, nth).
    template <class Make>
    static void collect(pugi::xml_node top, std::string_view wordName, RegionDocument& document, Make make) {
        eachElement(top, [&](pugi::xml_node node) {
            const std::string_view name = localName(node.name());
            if (name == "TextLine") document.lines.push_back(make(node, "line", document.lines.size() + 1));
            if (name == wordName) document.words.push_back(make(node, "word", document.words.size() + 1));
        });
    }

    std::vector<Point> pairs(std::string_view text, const std::string& id, pugi::xml_node where) const {
        const std::optional<std::vector<double>> values = numbers(text);
        if (!values) refuse("points that are not numbers in region " + id, where);
        if (values->size() % 2 != 0) refuse("an odd count of numbers in the points of region " + id, where);
        std::vector<Point> points;
        points.reserve(values->size() / 2);
        for (std::size_t i = 0; i < values->size(); i += 2) points.push_back({(*values)[i], (*values)[i + 1]});
        return points;
    }

    // The page's size stated in pixels by these attributes, if it is, checked
    // against the image's.
    std::optional<PageSize> declaredPixels(pugi::xml_node page, const char* widthName, const char* heightName) const {
        const pugi::xml_attribute width = page.attribute(widthName), height = page.attribute(heightName);
        if (!width && !height) return std::nullopt;
        const auto w = pixels(width.value()), h = pixels(height.value());
        if (!w || !h)
            refuse(std::string("the page's ") + widthName + " and " + heightName + " are not whole numbers of pixels",
                   page);
        const PageSize declared{*w, *h};
        if (imageSize_ && *imageSize_ != declared)
            refuse("the page is " + sizeText(declared) + " in the file but the image is " + sizeText(*imageSize_), page);
        return declared;
    }

    std::optional<std::int32_t> pixels(std::string_view text) const {
        const std::optional<double> value = number(text);
        if (!value || *value < 1 || *value > std::numeric_limits<std::int32_t>::max() || *value != std::floor(*value))
            return std::nullopt;
        return static_cast<std::int32_t>(*value);
    }

    // ---- PAGE

    RegionDocument readPage(pugi::xml_node root) {
        RegionDocument document;
        document.format = RegionDocument::Format::Page;
        const pugi::xml_node page = child(root, "Page");
        if (!page) refuse("no Page element", root);
        document.declared = declaredPixels(page, "imageWidth", "imageHeight");
        collect(page, "Word", document, [&](auto... a) { return pageRegion(a...); });
        return document;
    }

    Region pageRegion(pugi::xml_node node, const char* kind, std::size_t nth) const {
        Region region;
        region.line = lineOf(node);
        region.id = regionId(node.attribute("id"), kind, nth);
        const pugi::xml_node coords = child(node, "Coords");
        if (!coords) refuse("region " + region.id + " has no Coords", node);
        region.polygon = pagePoints(coords, region.id);
        if (const pugi::xml_node baseline = child(node, "Baseline")) region.baseline = pagePoints(baseline, region.id);
        return region;
    }

    // A points attribute (2010 on), or Point children (2009).
    std::vector<Point> pagePoints(pugi::xml_node node, const std::string& id) const {
        if (const pugi::xml_attribute points = node.attribute("points")) return pairs(points.value(), id, node);
        std::vector<Point> points;
        for (pugi::xml_node point = node.first_child(); point; point = point.next_sibling()) {
            if (point.type() != pugi::node_element || localName(point.name()) != "Point") continue;
            const auto x = number(point.attribute("x").value()), y = number(point.attribute("y").value());
            if (!x || !y) refuse("points that are not numbers in region " + id, point);
            points.push_back({*x, *y});
        }
        return points;
    }

    // ---- ALTO

    RegionDocument readAlto(pugi::xml_node root) {
        RegionDocument document;
        document.format = RegionDocument::Format::Alto;
        const pugi::xml_node unitNode = child(child(root, "Description"), "MeasurementUnit");
        const std::string unit(unitNode ? trimmed(unitNode.child_value()) : std::string_view("pixel"));
        if (unit != "pixel" && unit != "mm10" && unit != "inch1200")
            refuse("unknown measurement unit " + unit, unitNode);
        const pugi::xml_node layout = child(root, "Layout");
        const pugi::xml_node page = child(layout, "Page");
        const pugi::xml_attribute width = page.attribute("WIDTH"), height = page.attribute("HEIGHT");
        if (unit == "pixel") {
            document.declared = declaredPixels(page, "WIDTH", "HEIGHT");
        } else {
            if (!imageSize_) refuse("coordinates in " + unit + " need the page image's size", unitNode);
            const auto w = number(width.value()), h = number(height.value());
            if (!w || !h || *w <= 0 || *h <= 0)
                refuse("the page's WIDTH and HEIGHT in " + unit + " are not positive numbers", page ? page : layout);
            scaleX_ = imageSize_->width / *w;
            scaleY_ = imageSize_->height / *h;
            document.declared = imageSize_;
        }
        collect(layout, "String", document, [&](auto... a) { return altoRegion(a...); });
        return document;
    }

    Region altoRegion(pugi::xml_node node, const char* kind, std::size_t nth) const {
        Region region;
        region.line = lineOf(node);
        region.id = regionId(node.attribute("ID"), kind, nth);

        const pugi::xml_node polygon = child(child(node, "Shape"), "Polygon");
        const pugi::xml_attribute points = polygon.attribute("POINTS");
        if (points) {
            region.polygon = pairs(points.value(), region.id, polygon);
        } else {
            const auto box = rectangle(node, region.id);
            if (!box) refuse("region " + region.id + " has neither a Shape/Polygon nor HPOS, VPOS, WIDTH and HEIGHT",
                             node);
            const auto [left, top, right, bottom] = *box;
            region.polygon = {{left, top}, {right, top}, {right, bottom}, {left, bottom}};
        }

        if (localName(node.name()) == "TextLine") {
            const pugi::xml_attribute baseline = node.attribute("BASELINE");
            const std::optional<std::vector<double>> values = numbers(baseline.value());
            if (!values) refuse("points that are not numbers in region " + region.id, node);
            if (values->size() == 1) {
                // v2 and v3: the height of a horizontal baseline across the line.
                double left = 0, right = 0;
                if (const auto box = rectangle(node, region.id)) {
                    left = std::get<0>(*box);
                    right = std::get<2>(*box);
                } else {
                    left = right = region.polygon.empty() ? 0.0 : region.polygon[0].x;
                    for (const Point& p : region.polygon) {
                        left = std::min(left, p.x);
                        right = std::max(right, p.x);
                    }
                }
                region.baseline = {{left, values->front()}, {right, values->front()}};
            } else if (!values->empty()) {
                region.baseline = pairs(baseline.value(), region.id, node);
            }
        }
        scale(region.polygon, region.id, node);
        scale(region.baseline, region.id, node);
        return region;
    }

    // Left, top, right, bottom from HPOS VPOS WIDTH HEIGHT; nothing when one
    // is missing. One that is there but not a number is refused.
    std::optional<std::tuple<double, double, double, double>> rectangle(pugi::xml_node node,
                                                                        const std::string& id) const {
        const pugi::xml_attribute h = node.attribute("HPOS"), v = node.attribute("VPOS"), w = node.attribute("WIDTH"),
                                  ht = node.attribute("HEIGHT");
        if (!h || !v || !w || !ht) return std::nullopt;
        const auto left = number(h.value()), top = number(v.value()), width = number(w.value()),
                   height = number(ht.value());
        if (!left || !top || !width || !height) refuse("points that are not numbers in region " + id, node);
        return std::tuple{*left, *top, *left + *width, *top + *height};
    }

    void scale(std::vector<Point>& points, const std::string& id, pugi::xml_node node) const {
        for (Point& p : points) {
            p.x *= scaleX_;
            p.y *= scaleY_;
            if (!std::isfinite(p.x) || !std::isfinite(p.y)) refuse("coordinates out of range in region " + id, node);
        }
    }

    std::optional<PageSize> imageSize_;
    std::vector<std::size_t> newlines_;
    double scaleX_ = 1, scaleY_ = 1;
};

}  // namespace

std::variant<RegionDocument, XmlProblem> readRegionXml(std::string_view bytes, std::optional<PageSize> imageSize) {
    Reader reader(bytes, imageSize);
    pugi::xml_document xml;
    const pugi::xml_parse_result parsed = xml.load_buffer(bytes.data(), bytes.size());
    if (!parsed)
        return XmlProblem{std::string("not well-formed XML: ") + parsed.description(), reader.lineAt(parsed.offset)};
    try {
        return reader.read(xml);
    } catch (const Refusal& refusal) {
        return refusal.problem;
    }
}

std::variant<RegionDocument, XmlProblem> readRegionXmlFile(const std::filesystem::path& path,
                                                           std::optional<PageSize> imageSize) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return XmlProblem{"is a folder, not a file"};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int why = errno;
        return XmlProblem{"cannot be opened: " + std::generic_category().message(why)};
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return XmlProblem{"cannot be read"};
    return readRegionXml(content.str(), imageSize);
}

}  // namespace corvanel
