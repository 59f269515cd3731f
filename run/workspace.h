#pragma once

// The one owner of a workspace's layout: where its page images lie, where
// each page's label maps lie for a level and a participant, where its report
// goes, and which participants it holds. Nothing else spells a folder of the
// layout or the maps' file names.

#include "eval/failure.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvanel {

// A participant's results: a folder holding lines/ and words/.
struct Participant {
    std::string name;  // the folder's own name
    std::filesystem::path folder;
};

// The two maps a page is evaluated from.
struct PageMaps {
    std::filesystem::path gt, rs;
};

// Where a page's regions at a level come from, for one side: a label map, a
// PNG label image, or a PAGE or ALTO file that holds both levels.
struct MapSource {
    enum class Kind { Dat, Png, Xml };
    Kind kind = Kind::Dat;
    std::filesystem::path path;
};

class Workspace {
public:
    // An empty root is no workspace: no pages, no maps, nothing written.
    explicit Workspace(std::filesystem::path root = {});
    // The workspace at `root`, or why it is none (no such folder, no images
    // folder in it).
    static std::variant<Workspace, std::string> open(const std::filesystem::path& root);

    const std::filesystem::path& root() const { return root_; }
    bool empty() const { return root_.empty(); }

    std::filesystem::path imagesFolder() const { return imagesFolderOf(root_); }
    // The page images in list order (see listPages).
    std::vector<std::string> pages() const;
    std::filesystem::path pageImage(const std::string& name) const;

    // Where the maps come from: ROOT/gt and ROOT/results unless set.
    const std::filesystem::path& groundTruthFolder() const { return gt_; }
    const std::filesystem::path& resultsFolder() const { return results_; }
    // Either folder, named by the user: refused when it is no folder.
    std::optional<Failure> setGroundTruthFolder(const std::filesystem::path& folder);
    std::optional<Failure> setResultsFolder(const std::filesystem::path& folder);
    // The results as a participant, named by their folder.
    Participant resultsParticipant() const;

    // The label map of page `name` at a level.
    std::filesystem::path mapPath(MapKind kind, Level level, const std::string& name) const;
    PageMaps maps(Level level, const std::string& name) const;
    // Where one side of page `name` comes from at a level: FOLDER/LEVEL/NAME.dat,
    // FOLDER/LEVEL/NAME.png or FOLDER/STEM.xml (NAME without its extension),
    // whichever is there. None there: the .dat, which is then missing. Two or
    // more: refused, naming two of them.
    std::variant<MapSource, Failure> source(MapKind side, Level level, const std::string& name) const;
    static std::variant<MapSource, Failure> sourceIn(const std::filesystem::path& folder, MapKind side, Level level,
                                                     const std::string& name);

    // ROOT/Results.txt.
    std::filesystem::path reportPath() const;
    // A path as the user would name it: relative to the root when inside it.
    std::string shown(const std::filesystem::path& path) const;

    // ROOT/results (when it holds a level), then every ROOT/participants/NAME
    // that does, by name.
    std::vector<Participant> participants() const;

    // DIR/images: the folder a page list shows.
    static std::filesystem::path imagesFolderOf(const std::filesystem::path& dir);
    // Where a participant writes its maps of a level, and the map of a page there.
    static std::filesystem::path levelFolder(const std::filesystem::path& participant, Level level);
    static std::filesystem::path mapIn(const std::filesystem::path& participant, Level level, const std::string& name);
    // ROOT/results and ROOT/participants/NAME, for a method writing its maps.
    std::filesystem::path defaultResultsFolder() const;
    std::filesystem::path participantFolder(const std::string& name) const;
    // A folder holding lines/ or words/, or PAGE or ALTO files.
    static bool holdsLevels(const std::filesystem::path& folder);

    // The participants that folders stand for: one holding a level is one,
    // named by the folder; another stands for each of its sub-folders that
    // holds one. Why not, for a folder that does not exist or holds none.
    static std::variant<std::vector<Participant>, std::string> participantsIn(
        const std::vector<std::filesystem::path>& folders);

    // "lines" or "words", in any letter case.
    static std::optional<Level> parseLevel(std::string_view text);

    friend bool operator==(const Workspace&, const Workspace&) = default;

private:
    std::filesystem::path root_, gt_, results_;
};

// The non-hidden entries of a folder that are not folders (files, links
// that lead nowhere, FIFOs, ...), names only, sorted case-insensitively with
// ties broken by byte order. A missing folder lists nothing.
std::vector<std::string> listPages(const std::filesystem::path& imagesDir);

// A file name (or any text holding one) as text for JSON, CSV, tables,
// plots and messages: valid UTF-8 stays as it is; every other byte, and
// every byte of a control character (C0, DEL, C1), becomes the four
// characters \xHH (lowercase hex). File names are bytes; this never fails
// on them.
std::string printableName(std::string_view bytes);

}  // namespace corvanel
