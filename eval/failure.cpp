#include "eval/failure.h"

namespace corvanel {

const char* levelName(Level level) { return level == Level::Words ? "words" : "lines"; }

const char* sideName(MapKind side) { return side == MapKind::GroundTruth ? "ground truth" : "result"; }

namespace {

bool isMapProblem(FailureKind kind) {
    return kind == FailureKind::MapUnreadable || kind == FailureKind::MapMalformed ||
           kind == FailureKind::NegativeLabel;
}

std::string withReason(std::string text, const std::string& reason) {
    if (!reason.empty()) text += ": " + reason;
    return text;
}

}  // namespace

std::string boxText(const Failure& f) {
    const std::string name = f.file.filename().string();
    switch (f.kind) {
        case FailureKind::MapMissing:
            return {};
        case FailureKind::MapUnreadable:
        case FailureKind::MapMalformed:
        case FailureKind::NegativeLabel:
            if (f.kind == FailureKind::NegativeLabel && f.file.empty())
                return "A label map holds a negative label; the page was not evaluated";
            return withReason("Problem with file " + name, f.shown);
        case FailureKind::MapAllocation:
            return f.side == MapKind::Result ? "Memory Allocation Problem - ReadRS!"
                                             : "Memory Allocation Problem - ReadGT!";
        case FailureKind::Allocation:
            return "Memory Allocation Problem!";
        case FailureKind::SizeMismatch:
            if (f.file.empty()) return "Label maps of different sizes: " + f.shown;
            return "Label maps of different sizes for " + name + ": " + f.shown + "; the page was not evaluated";
        case FailureKind::Settings:
            return f.shown;
        case FailureKind::PageImage:
            return "Cannot read the page image " + name + "; the page was not evaluated";
        case FailureKind::ReportNotCreated:
            return "Cannot create the report " + f.file.string();
        case FailureKind::ReportNotWritten:
            return "Cannot write the report " + f.file.string();
        case FailureKind::Output:
            return "Cannot write the " + f.shown + " " + f.file.string();
        case FailureKind::TwoSources:
            return std::string("Both ") + f.file.string() + " and " + f.shown + " give the " +
                   (f.side ? sideName(*f.side) : "map") + (f.level ? std::string(" ") + levelName(*f.level) : "") +
                   " of a page; the page was not evaluated";
        case FailureKind::RegionNote:
            return "Note on file " + name + ": " + f.shown;
    }
    return {};
}

std::string toolLine(const Failure& f, const std::string& shownPath) {
    if (f.kind == FailureKind::MapMissing)
        return std::string(f.side == MapKind::Result ? "no result map " : "no ground-truth map ") +
               (shownPath.empty() ? f.file.string() : shownPath);
    if (!isMapProblem(f.kind) || f.file.empty()) return withReason(boxText(f), f.detail);
    std::string text = "Problem with file " + f.file.filename().string();
    if (f.side) {
        text += std::string(" (") + sideName(*f.side);
        if (f.level) text += std::string(", ") + levelName(*f.level);
        text += ")";
    }
    return withReason(withReason(std::move(text), f.shown), f.detail);
}

std::vector<std::string> boxTexts(const std::vector<Failure>& failures) {
    std::vector<std::string> texts;
    for (const Failure& f : failures)
        if (std::string text = boxText(f); !text.empty()) texts.push_back(std::move(text));
    return texts;
}

}  // namespace corvanel
