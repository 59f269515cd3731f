#include "run/workspace.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace corvanel {

namespace fs = std::filesystem;

namespace {

bool lessCaseInsensitive(const std::string& a, const std::string& b) {
    const auto lower = [](unsigned char c) { return std::tolower(c); };
    const bool less = std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
    const bool greater = std::lexicographical_compare(
        b.begin(), b.end(), a.begin(), a.end(),
        [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
    return less || (!greater && a < b);
}

}  // namespace

std::vector<std::string> listPages(const fs::path& imagesDir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(imagesDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // Anything but a folder is a page, so a page that cannot be read (a
        // dangling link, a FIFO) is reported rather than passed over.
        std::error_code typeError;
        if (name.empty() || name.front() == '.' || it->is_directory(typeError)) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), lessCaseInsensitive);
    return names;
}

std::string printableName(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = byte(i);
        // The length of a well-formed sequence starting here, or 0.
        std::size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        if (n > 1) {
            if (i + n > s.size()) n = 0;
            for (std::size_t k = 1; n && k < n; ++k)
                if ((byte(i + k) & 0xC0) != 0x80) n = 0;
            // No overlong forms, surrogates or code points beyond U+10FFFF.
            if (n == 3 && ((c == 0xE0 && byte(i + 1) < 0xA0) || (c == 0xED && byte(i + 1) >= 0xA0))) n = 0;
            if (n == 4 && ((c == 0xF0 && byte(i + 1) < 0x90) || (c == 0xF4 && byte(i + 1) >= 0x90))) n = 0;
        }
        // Control characters (C0, DEL, and C1 as U+0080 to U+009F) would steer
        // a terminal or break a row: shown byte by byte like invalid bytes.
        if (n == 1 && (c < 0x20 || c == 0x7F)) n = 0;
        const bool c1 = n == 2 && c == 0xC2 && byte(i + 1) < 0xA0;
        if (n == 0 || c1) {
            for (std::size_t k = 0; k < (c1 ? 2 : 1); ++k) {
                static constexpr char kHex[] = "0123456789abcdef";
                out += "\\x";
                out += kHex[byte(i) >> 4];
                out += kHex[byte(i) & 15];
                ++i;
            }
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

namespace {

constexpr std::string_view kMapSuffix = ".dat";

fs::path mapName(const std::string& page) { return fs::path(page + std::string(kMapSuffix)); }

// A folder named by the user: refused unless it is one.
std::optional<Failure> noFolder(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return std::nullopt;
    return Failure{FailureKind::Settings, folder, std::nullopt, std::nullopt, "no folder " + folder.string(), {}};
}

std::string folderName(const fs::path& folder) {
    const fs::path normal = folder.lexically_normal();
    return (normal.has_filename() ? normal : normal.parent_path()).filename().string();
}

}  // namespace

Workspace::Workspace(fs::path root)
    : root_(std::move(root)), gt_(root_.empty() ? fs::path() : root_ / "gt"),
      results_(defaultResultsFolder()) {}

std::variant<Workspace, std::string> Workspace::open(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return "no workspace folder at " + root.string();
    if (!fs::is_directory(imagesFolderOf(root), ec)) return "no images folder in " + root.string();
    return Workspace(root);
}

std::vector<std::string> Workspace::pages() const {
    if (empty()) return {};
    return listPages(imagesFolder());
}

fs::path Workspace::pageImage(const std::string& name) const { return imagesFolder() / name; }

std::optional<Failure> Workspace::setGroundTruthFolder(const fs::path& folder) {
    if (auto refused = noFolder(folder)) return refused;
    gt_ = folder;
    return std::nullopt;
}

std::optional<Failure> Workspace::setResultsFolder(const fs::path& folder) {
    if (auto refused = noFolder(folder)) return refused;
    results_ = folder;
    return std::nullopt;
}

Participant Workspace::resultsParticipant() const { return {folderName(results_), results_}; }

fs::path Workspace::mapPath(MapKind kind, Level level, const std::string& name) const {
    return mapIn(kind == MapKind::GroundTruth ? gt_ : results_, level, name);
}

PageMaps Workspace::maps(Level level, const std::string& name) const {
    return {mapPath(MapKind::GroundTruth, level, name), mapPath(MapKind::Result, level, name)};
}

std::variant<MapSource, Failure> Workspace::source(MapKind side, Level level, const std::string& name) const {
    return sourceIn(side == MapKind::GroundTruth ? gt_ : results_, side, level, name);
}

std::variant<MapSource, Failure> Workspace::sourceIn(const fs::path& folder, MapKind side, Level level,
                                                     const std::string& name) {
    const std::string stem = fs::path(name).stem().string();
    const MapSource candidates[] = {
        {MapSource::Kind::Dat, mapIn(folder, level, name)},
        {MapSource::Kind::Png, levelFolder(folder, level) / (name + ".png")},
        {MapSource::Kind::Xml, folder / (stem + ".xml")},
    };
    std::vector<const MapSource*> there;
    for (const MapSource& c : candidates) {
        std::error_code ec;
        // A dangling link is there: reading it says what is wrong with it.
        if (fs::exists(fs::symlink_status(c.path, ec))) there.push_back(&c);
    }
    if (there.empty()) return candidates[0];
    if (there.size() == 1) return *there.front();
    return Failure{FailureKind::TwoSources, there[0]->path, side, level, there[1]->path.string(), {}};
}

fs::path Workspace::reportPath() const { return root_ / "Results.txt"; }

std::string Workspace::shown(const fs::path& path) const {
    const fs::path relative = path.lexically_relative(root_);
    if (relative.empty() || *relative.begin() == "..") return path.string();
    return relative.string();
}

std::vector<Participant> Workspace::participants() const {
    std::vector<Participant> found;
    if (empty()) return found;
    if (holdsLevels(defaultResultsFolder())) found.push_back({"results", defaultResultsFolder()});
    std::vector<Participant> others;
    std::error_code ec;
    for (fs::directory_iterator it(root_ / "participants", ec), end; !ec && it != end; it.increment(ec))
        if (holdsLevels(it->path())) others.push_back({it->path().filename().string(), it->path()});
    std::sort(others.begin(), others.end(), [](const Participant& a, const Participant& b) { return a.name < b.name; });
    found.insert(found.end(), others.begin(), others.end());
    return found;
}

fs::path Workspace::imagesFolderOf(const fs::path& dir) { return dir / "images"; }

fs::path Workspace::levelFolder(const fs::path& participant, Level level) { return participant / levelName(level); }

fs::path Workspace::mapIn(const fs::path& participant, Level level, const std::string& name) {
    return levelFolder(participant, level) / mapName(name);
}

fs::path Workspace::defaultResultsFolder() const { return root_.empty() ? fs::path() : root_ / "results"; }

fs::path Workspace::participantFolder(const std::string& name) const { return root_ / "participants" / name; }

bool Workspace::holdsLevels(const fs::path& folder) {
    std::error_code ec;
    if (fs::is_directory(levelFolder(folder, Level::Lines), ec) || fs::is_directory(levelFolder(folder, Level::Words), ec))
        return true;
    // PAGE and ALTO files hold both levels.
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".xml") return true;
    return false;
}

std::variant<std::vector<Participant>, std::string> Workspace::participantsIn(const std::vector<fs::path>& folders) {
    std::vector<Participant> found;
    for (const fs::path& folder : folders) {
        if (auto refused = noFolder(folder)) return refused->shown;
        if (holdsLevels(folder)) {
            found.push_back({folderName(folder), folder});
            continue;
        }
        std::vector<fs::path> inside;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && holdsLevels(it->path())) inside.push_back(it->path());
        if (inside.empty()) return folder.string() + " holds no lines/ or words/ folder or PAGE/ALTO file, nor sub-folders that do";
        std::sort(inside.begin(), inside.end());
        for (const fs::path& p : inside) found.push_back({p.filename().string(), p});
    }
    return found;
}

std::optional<Level> Workspace::parseLevel(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const Level level : {Level::Lines, Level::Words})
        if (lower == levelName(level)) return level;
    return std::nullopt;
}

}  // namespace corvanel
