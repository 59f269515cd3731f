#pragma once

// What went wrong, as a value: what failed, which file, ground truth or
// result, at which level, and why. The window's message boxes and the
// tool's lines on stderr are both made from it, here and nowhere else.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvanel {

enum class Level { Lines, Words };
enum class MapKind { GroundTruth, Result };

enum class FailureKind {
    MapMissing,        // no label map at its path: the window says nothing
    MapUnreadable,     // there, but it cannot be opened or read
    MapMalformed,      // a header out of range, or a file too short
    NegativeLabel,     // a label below 0
    MapAllocation,     // a label map could not be allocated
    Allocation,        // the evaluation's tables could not be allocated: the run ends
    SizeMismatch,      // the two maps of a page differ in size
    Settings,          // a threshold or weights that cannot be used
    PageImage,         // the page image cannot be read
    ReportNotCreated,  // Results.txt cannot be created
    ReportNotWritten,  // or written
    Output,            // another file the tool writes (JSON, CSV, an error image, ...)
    TwoSources,        // two files give one side of a page at a level; `shown` is the second
    RegionNote,        // a region of a polygon file worth a word; the page is evaluated all the same
};

struct Failure {
    FailureKind kind = FailureKind::MapMissing;
    std::filesystem::path file;   // the file it concerns; empty when none
    std::optional<MapKind> side;  // which map, for a label map
    std::optional<Level> level;   // the level it was read at, once known
    std::string shown;            // what the window's text says after the file, if anything
    std::string detail;           // what only the tool adds: the reason behind the window's text
};

// "lines" or "words".
const char* levelName(Level level);
// "ground truth" or "result".
const char* sideName(MapKind side);

// The window's message for it, exactly as the window words it; empty for a
// map that is missing, which the window passes over in silence.
std::string boxText(const Failure& failure);

// The tool's line for it: the window's text with the map's side and level
// after the file name, then the reason. For a missing map, "no result map"
// and `shownPath` (the map's path as the user would name it).
std::string toolLine(const Failure& failure, const std::string& shownPath = {});

// boxText() of each, leaving out the empty ones.
std::vector<std::string> boxTexts(const std::vector<Failure>& failures);

}  // namespace corvanel
