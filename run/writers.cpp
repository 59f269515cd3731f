#include "run/writers.h"

#include "eval/diagnosis.h"
#include "run/files.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <span>

namespace corvanel {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string csvField(std::string_view raw) {
    const std::string text = printableName(raw);
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

std::string csvTable(const Row& header, const std::vector<Row>& rows) {
    std::string out;
    auto line = [&](const Row& row) {
        for (std::size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + csvField(row[i]);
        out += "\r\n";
    };
    line(header);
    for (const Row& row : rows) line(row);
    return out;
}

std::string markdownTable(const Row& header, const std::vector<Row>& rows) {
    std::string out;
    auto line = [&](const Row& row) {
        out += "|";
        for (const std::string& field : row) {
            std::string cell;
            for (char c : printableName(field)) cell += c == '|' ? std::string("\\|") : std::string(1, c);
            out += " " + cell + " |";
        }
        out += "\n";
    };
    line(header);
    out += "|";
    for (std::size_t i = 0; i < header.size(); ++i) out += i < 2 ? "---|" : "---:|";
    out += "\n";
    for (const Row& row : rows) line(row);
    return out;
}

std::string textTable(const Row& header, const std::vector<Row>& rows) {
    std::vector<std::size_t> width(header.size(), 0);
    const auto widen = [&](const Row& row) {
        for (std::size_t i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], printableName(row[i]).size());
    };
    widen(header);
    for (const Row& row : rows) widen(row);
    std::string out;
    auto line = [&](const Row& row) {
        std::string text;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i) text += "  ";
            // Names left, numbers right.
            const std::string field = printableName(row[i]);
            const std::string pad(width[i] - std::min(width[i], field.size()), ' ');
            text += i < 2 ? field + pad : pad + field;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    };
    line(header);
    for (const Row& row : rows) line(row);
    return out;
}

std::string markupEscaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20) out += c;
        }
    }
    return out;
}

std::string exactNumber(std::optional<double> value) {
    if (!value) return {};
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, *value);
    return std::string(buffer, result.ptr);
}

std::string twoDecimals(std::optional<double> value) { return value ? fixed2(*value) : "---"; }

std::string countsText(const Counts& c, const RateTexts& r) {
    return "N: " + std::to_string(c.N) + "\n" +
           "M: " + std::to_string(c.M) + "\n" +
           "one2one: " + std::to_string(c.one2one) + "\n" +
           "g_one2many: " + std::to_string(c.g_one2many) + "\n" +
           "g_many2one: " + std::to_string(c.g_many2one) + "\n" +
           "d_one2many: " + std::to_string(c.d_one2many) + "\n" +
           "d_many2one: " + std::to_string(c.d_many2one) + "\n" +
           "Detection Rate: " + r.dr + "\n" +
           "Recognition Accuracy: " + r.ra + "\n" +
           "FM    : " + r.fm + "\n";
}

std::vector<std::string> pageLines(const Workspace& workspace, const PageOutcome& page) {
    std::vector<std::string> lines;
    std::string missing;
    for (const Failure& f : page.failures) {
        if (f.kind == FailureKind::MapMissing)
            missing += (missing.empty() ? "" : " and ") + toolLine(f, workspace.shown(f.file));
        else
            lines.push_back(toolLine(f));
    }
    if (!missing.empty()) lines.push_back(page.name + ": " + missing);
    if (lines.empty() && !page.evaluated) lines.push_back(page.name + ": not evaluated");
    return lines;
}

const Row kPageColumns{"page",       "level",      "evaluated",  "N",  "M",  "one2one", "g_one2many",
                       "g_many2one", "d_one2many", "d_many2one", "DR", "RA", "FM",      "reason"};

Row pageRow(const PageOutcome& page, Level level, const std::vector<std::string>& lines) {
    Row row{page.name, levelName(level), page.evaluated ? "yes" : "no"};
    if (page.evaluated) {
        const Counts& c = page.evaluation.counts;
        for (std::int64_t v : {c.N, c.M, c.one2one, c.g_one2many, c.g_many2one, c.d_one2many, c.d_many2one})
            row.push_back(std::to_string(v));
        const Rates& r = page.evaluation.rates;
        for (const std::optional<double>& v : {r.DR, r.RA, r.FM}) row.push_back(exactNumber(v));
        row.push_back("");
    } else {
        row.resize(kPageColumns.size() - 1);
        std::string reason;
        for (const std::string& line : lines) reason += (reason.empty() ? "" : "; ") + line;
        row.push_back(reason);
    }
    return row;
}

const Row kSweepColumns{"participant", "level", "threshold", "N", "M", "one2one", "DR", "RA", "FM"};

std::vector<Row> sweepRows(const std::vector<SweepPoint>& points, bool exact) {
    const auto number = exact ? exactNumber : twoDecimals;
    std::vector<Row> table;
    for (const SweepPoint& p : points) {
        const Counts& c = p.at.counts;
        const Rates& r = p.at.rates;
        table.push_back({p.participant, levelName(p.level), std::to_string(p.threshold), std::to_string(c.N),
                         std::to_string(c.M), std::to_string(c.one2one), number(r.DR), number(r.RA), number(r.FM)});
    }
    return table;
}

namespace {

std::string share(const std::optional<Confidence>& sure, bool exact) {
    if (!sure || !sure->aboveNext) return {};
    return exact ? exactNumber(sure->aboveNext) : fixed1(*sure->aboveNext);
}

std::string separated(const std::optional<Confidence>& sure) {
    if (!sure || !sure->aboveNext) return {};
    return *sure->aboveNext >= kSeparatedShare ? "yes" : "no";
}

Row interval(const std::optional<Confidence>& sure, bool exact) {
    if (!sure) return {"", ""};
    const auto number = exact ? exactNumber : twoDecimals;
    return {number(sure->low), number(sure->high)};
}

const LevelRun& runOf(const Standing& s, Level level) { return level == Level::Lines ? s.lines : s.words; }
const std::optional<Confidence>& sureOf(const Standing& s, Level level) {
    return level == Level::Lines ? s.linesSure : s.wordsSure;
}

}  // namespace

std::string fixed1(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    return std::string(buffer, result.ptr);
}

Row leaderboardHeader() {
    Row header{"rank", "participant", "overall"};
    for (const Level level : {Level::Lines, Level::Words})
        for (const char* column : {"pages", "N", "M", "one2one", "DR", "RA", "FM"})
            header.push_back(std::string(levelName(level)) + " " + column);
    for (const char* column : {"lines submitted", "words submitted", "overall low", "overall high", "overall above next"})
        header.push_back(column);
    for (const Level level : {Level::Lines, Level::Words})
        for (const char* column : {"rank", "FM low", "FM high", "above next"})
            header.push_back(std::string(levelName(level)) + " " + column);
    return header;
}

std::vector<Row> leaderboardRows(const std::vector<Standing>& standings, bool exact) {
    const auto number = exact ? exactNumber : twoDecimals;
    std::vector<Row> table;
    for (std::size_t k = 0; k < standings.size(); ++k) {
        const Standing& s = standings[k];
        Row row{std::to_string(k + 1), s.participant.name, number(s.overall)};
        for (const LevelRun* run : {&s.lines, &s.words}) {
            const Pooled& p = run->totals;
            for (const std::string& field :
                 {std::to_string(p.pages), std::to_string(p.counts.N), std::to_string(p.counts.M),
                  std::to_string(p.counts.one2one), number(p.rates.DR), number(p.rates.RA), number(p.rates.FM)})
                row.push_back(field);
        }
        row.push_back(std::to_string(s.lines.submitted));
        row.push_back(std::to_string(s.words.submitted));
        for (std::string& field : interval(s.overallSure, exact)) row.push_back(std::move(field));
        row.push_back(share(s.overallSure, exact));
        for (const Level level : {Level::Lines, Level::Words}) {
            row.push_back(std::to_string(level == Level::Lines ? s.linesPlace : s.wordsPlace));
            for (std::string& field : interval(sureOf(s, level), exact)) row.push_back(std::move(field));
            row.push_back(share(sureOf(s, level), exact));
        }
        table.push_back(std::move(row));
    }
    return table;
}

std::string today() {
    // SOURCE_DATE_EPOCH, where set, makes a report that can be made again byte for byte.
    std::time_t now = std::time(nullptr);
    if (const char* fixed = std::getenv("SOURCE_DATE_EPOCH"))
        if (const auto seconds = parseWholeNumber(fixed)) now = *seconds;
    std::tm day{};
    ::gmtime_r(&now, &day);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &day);
    return text;
}

std::string boardCaption(const BoardFacts& f) {
    std::string text = "Ground truth " + printableName(f.groundTruth.string()) + ", " + std::to_string(f.pages) +
                       (f.pages == 1 ? " page" : " pages") + ", threshold " + std::to_string(f.threshold) +
                       "%, weights " + std::to_string(f.weights.w1) + " " + std::to_string(f.weights.w2) + " " +
                       std::to_string(f.weights.w3) + "; " + f.date + ", Corvanel " + f.version + ".";
    if (f.draws > 0)
        text += " Intervals: 95% of " + std::to_string(f.draws) + " bootstrap draws over pages (seed " +
                std::to_string(f.seed) +
                "); \"above next\": the share of draws in which a place scores above the next one, \"separated\" "
                "when at least " + std::to_string(static_cast<int>(kSeparatedShare)) + "%.";
    return text;
}

const char* boardTitle(Board board) {
    switch (board) {
        case Board::Overall: return "Overall (the mean of the lines' and words' FM)";
        case Board::Lines: return "Lines";
        case Board::Words: return "Words";
    }
    return "";
}

Row boardHeader(Board board) {
    if (board == Board::Overall)
        return {"rank", "participant", "overall", "95% low", "95% high", "above next", "separated", "lines FM", "words FM"};
    return {"rank", "participant", "submitted", "pages", "N", "M", "one2one", "DR", "RA", "FM",
            "95% low", "95% high", "above next", "separated"};
}

std::vector<Row> boardRows(const std::vector<Standing>& standings, Board board) {
    std::vector<Row> table;
    if (board == Board::Overall) {
        for (std::size_t k = 0; k < standings.size(); ++k) {
            const Standing& s = standings[k];
            const Row ci = interval(s.overallSure, false);
            table.push_back({std::to_string(k + 1), s.participant.name, twoDecimals(s.overall), ci[0], ci[1],
                             share(s.overallSure, false), separated(s.overallSure), twoDecimals(s.lines.totals.rates.FM),
                             twoDecimals(s.words.totals.rates.FM)});
        }
        return table;
    }
    const Level level = board == Board::Lines ? Level::Lines : Level::Words;
    const std::vector<std::size_t> order = boardOrder(standings, level);
    for (std::size_t k = 0; k < order.size(); ++k) {
        const Standing& s = standings[order[k]];
        const Pooled& p = runOf(s, level).totals;
        const Row ci = interval(sureOf(s, level), false);
        table.push_back({std::to_string(k + 1), s.participant.name, std::to_string(runOf(s, level).submitted),
                         std::to_string(p.pages), std::to_string(p.counts.N), std::to_string(p.counts.M),
                         std::to_string(p.counts.one2one), twoDecimals(p.rates.DR), twoDecimals(p.rates.RA),
                         twoDecimals(p.rates.FM), ci[0], ci[1], share(sureOf(s, level), false),
                         separated(sureOf(s, level))});
    }
    return table;
}

std::string boardsText(const std::vector<Standing>& standings, const BoardFacts& facts, bool markdown) {
    // A terminal shows the caption once; a published board carries its own.
    std::string text = markdown ? "" : boardCaption(facts) + "\n";
    for (const Board board : {Board::Overall, Board::Lines, Board::Words}) {
        const std::vector<Row> rows = boardRows(standings, board);
        if (markdown)
            text += (text.empty() ? "### " : "\n### ") + std::string(boardTitle(board)) + "\n\n" + boardCaption(facts) +
                    "\n\n" + markdownTable(boardHeader(board), rows);
        else
            text += "\n" + std::string(boardTitle(board)) + "\n" + textTable(boardHeader(board), rows);
    }
    return text;
}

// ---------------------------------------------------------------- JSON

namespace {

// JSON written as it goes, so that no page, however many regions it holds,
// is ever built whole. Indented two spaces a level, but a flat container
// (a list of numbers, a record of a long list) stays on one line: a page of
// millions of regions is a line a region, not twenty.
class JsonStream {
public:
    explicit JsonStream(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}

    // Containers and values; `key` only inside an object.
    void beginObject(std::string_view key = {}, bool flat = false) { open(key, '{', flat); }
    void beginArray(std::string_view key = {}, bool flat = false) { open(key, '[', flat); }
    void end() {
        const Frame frame = stack_.back();
        stack_.pop_back();
        if (!frame.first && !frame.flat) {
            text_ += '\n';
            indent();
        }
        text_ += frame.object ? '}' : ']';
        spill();
    }
    void value(std::string_view key, std::string_view raw) {
        next(key);
        text_ += raw;
        spill();
    }
    void number(std::string_view key, std::int64_t v) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
        value(key, std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }
    void number(std::string_view key, std::optional<double> v) { value(key, v ? Json(*v).dump() : "null"); }
    void string(std::string_view key, std::string_view text) {
        next(key);
        quote(text);
        spill();
    }
    void numbers(std::string_view key, std::span<const std::int32_t> list) {
        beginArray(key, true);
        for (std::int32_t v : list) number({}, v);
        end();
    }
    // What is left to hand over.
    void flush() {
        if (!text_.empty()) sink_(text_);
        text_.clear();
    }

private:
    struct Frame {
        bool object;
        bool flat;
        bool first = true;
    };
    void indent() { text_.append(2 * stack_.size(), ' '); }
    // A JSON string; texts that need no escape (keys, statuses, most names)
    // skip the library's serializer, the run's hot spot on large pages.
    void quote(std::string_view text) {
        const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
            return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
        });
        if (!plain) {
            text_ += Json(std::string(text)).dump();
            return;
        }
        text_ += '"';
        text_ += text;
        text_ += '"';
    }
    void next(std::string_view key) {
        if (!stack_.empty()) {
            Frame& in = stack_.back();
            if (in.flat) {
                if (!in.first) text_ += ", ";
            } else {
                text_ += in.first ? "\n" : ",\n";
                indent();
            }
            in.first = false;
            if (stack_.back().object) {
                quote(key);
                text_ += ": ";
            }
        }
    }
    void open(std::string_view key, char bracket, bool flat) {
        next(key);
        text_ += bracket;
        stack_.push_back({bracket == '{', flat || (!stack_.empty() && stack_.back().flat)});
    }
    void spill() {
        if (text_.size() >= 64 * 1024) flush();
    }

    std::function<void(std::string_view)> sink_;
    std::vector<Frame> stack_;
    std::string text_;
};

void counts(JsonStream& out, const Counts& c, const Rates& r) {
    for (const auto& [key, v] : {std::pair{"N", c.N}, {"M", c.M}, {"one2one", c.one2one}, {"g_one2many", c.g_one2many},
                                 {"g_many2one", c.g_many2one}, {"d_one2many", c.d_one2many},
                                 {"d_many2one", c.d_many2one}})
        out.number(key, v);
    out.number("DR", r.DR);
    out.number("RA", r.RA);
    out.number("FM", r.FM);
}

void regions(JsonStream& out, std::string_view key, const RegionList& list) {
    out.beginArray(key);
    for (const RegionDiagnosis r : list) {
        out.beginObject({}, true);
        out.number("label", r.label);
        out.number("area", r.area);
        out.beginArray("bbox", true);
        for (std::int32_t v : {r.box.left, r.box.top, r.box.right, r.box.bottom}) out.number({}, v);
        out.end();
        out.string("status", statusName(r.status));
        out.numbers("partners", r.partners);
        if (r.score)
            out.number("score", *r.score);
        else
            out.value("score", "null");
        if (r.best) {
            out.beginObject("best");
            out.number("label", r.best->label);
            out.number("score", r.best->score);
            out.end();
        } else {
            out.value("best", "null");
        }
        out.end();
    }
    out.end();
}

void groups(JsonStream& out, std::string_view key, const std::vector<MatchedGroup>& list, const char* centre,
            const char* members) {
    out.beginArray(key);
    for (const MatchedGroup& g : list) {
        out.beginObject({}, true);
        out.number(centre, g.centre);
        out.numbers(members, g.members);
        out.end();
    }
    out.end();
}

void page(JsonStream& out, const PageOutcome& page, const std::vector<std::string>& lines) {
    out.beginObject();
    out.string("name", printableName(page.name));
    out.value("evaluated", page.evaluated ? "true" : "false");
    if (page.evaluated) {
        const PageEvaluation& e = page.evaluation;
        counts(out, e.counts, e.rates);
        out.beginArray("one2one_pairs");
        for (const MatchedPair& p : e.detail.one2one) {
            out.beginObject({}, true);
            out.number("gt", p.gtLabel);
            out.number("result", p.rsLabel);
            out.number("score", p.score);
            out.end();
        }
        out.end();
        // Labels drawn from a PAGE or ALTO file, back to their elements' ids.
        for (const auto& [key, ids] : {std::pair{"gt_ids", &page.gtIds}, {"result_ids", &page.rsIds}}) {
            if (ids->empty()) continue;
            out.beginObject(key, true);
            for (std::size_t i = 0; i < ids->size(); ++i) out.string(std::to_string(i + 1), printableName((*ids)[i]));
            out.end();
        }
        groups(out, "gt_groups", e.detail.gtCentred, "gt", "results");
        groups(out, "result_groups", e.detail.resultCentred, "result", "gts");
        out.numbers("unmatched_gt", e.detail.unmatchedGt);
        out.numbers("unmatched_result", e.detail.unmatchedResult);
        if (e.diagnosis) {
            regions(out, "gt_regions", e.diagnosis->gt());
            regions(out, "result_regions", e.diagnosis->result());
        }
    }
    out.beginArray("messages");
    for (const std::string& line : lines) out.string({}, printableName(line));
    out.end();
    out.end();
}

void levelTotals(JsonStream& out, std::string_view key, const Pooled& p, const std::function<void()>& more = {}) {
    out.beginObject(key);
    out.number("pages_evaluated", p.pages);
    if (more) more();
    out.number("N", p.counts.N);
    out.number("M", p.counts.M);
    out.number("one2one", p.counts.one2one);
    out.number("DR", p.rates.DR);
    out.number("RA", p.rates.RA);
    out.number("FM", p.rates.FM);
    out.end();
}

}  // namespace

struct JsonReport::Stream {
    explicit Stream(const fs::path& target)
        : path(target), file(target), out([this](std::string_view text) { write(text); }) {
        if (!file.openError().empty()) failure = Failure{FailureKind::Output, path, {}, {}, "JSON file", file.openError()};
    }
    void write(std::string_view text) {
        if (!failure && !file.write(text))
            failure = Failure{FailureKind::Output, path, {}, {}, "JSON file", file.lastError()};
    }
    // The pages' list stays open while pages come.
    void closePages() {
        if (pagesOpen) out.end();
        pagesOpen = false;
    }

    fs::path path;
    ReplacingFile file;
    JsonStream out;
    std::optional<Failure> failure;
    bool pagesOpen = false;
};

JsonReport::JsonReport(const fs::path& file, const fs::path& workspace, std::optional<Level> level,
                       std::int32_t threshold, const Weights& w)
    : stream_(std::make_unique<Stream>(file)) {
    JsonStream& out = stream_->out;
    out.beginObject();
    out.string("workspace", printableName(workspace.string()));
    if (level) out.string("level", levelName(*level));
    out.number("threshold", threshold);
    out.beginArray("weights", true);
    for (std::int64_t v : {w.w1, w.w2, w.w3}) out.number({}, v);
    out.end();
    if (level) {
        out.beginArray("pages");
        stream_->pagesOpen = true;
    }
}

JsonReport::~JsonReport() = default;

void JsonReport::addPage(const PageOutcome& p, const std::vector<std::string>& lines) { page(stream_->out, p, lines); }

void JsonReport::setTotals(const Pooled& totals) {
    stream_->closePages();
    JsonStream& out = stream_->out;
    out.beginObject("totals");
    out.number("pages_evaluated", totals.pages);
    counts(out, totals.counts, totals.rates);
    out.end();
}

void JsonReport::setSweep(const std::vector<SweepPoint>& points) {
    stream_->closePages();
    JsonStream& out = stream_->out;
    out.beginArray("sweep");
    for (const SweepPoint& p : points) {
        out.beginObject({}, true);
        out.string("participant", printableName(p.participant));
        out.string("level", levelName(p.level));
        out.number("threshold", p.threshold);
        out.number("N", p.at.counts.N);
        out.number("M", p.at.counts.M);
        out.number("one2one", p.at.counts.one2one);
        out.number("DR", p.at.rates.DR);
        out.number("RA", p.at.rates.RA);
        out.number("FM", p.at.rates.FM);
        out.end();
    }
    out.end();
}

namespace {

// A board place's interval and share above the next, when a bootstrap gave them.
void confidence(JsonStream& out, const std::optional<Confidence>& sure) {
    if (!sure) return;
    out.beginArray("interval", true);
    out.number({}, std::optional<double>(sure->low));
    out.number({}, std::optional<double>(sure->high));
    out.end();
    out.number("above_next", sure->aboveNext);
}

}  // namespace

void JsonReport::setLeaderboard(const std::vector<Standing>& standings, const BoardFacts& facts) {
    JsonStream& out = stream_->out;
    out.beginObject("caption");
    out.string("text", boardCaption(facts));
    out.string("date", facts.date);
    out.string("version", facts.version);
    out.number("pages", static_cast<std::int64_t>(facts.pages));
    out.number("bootstrap_draws", facts.draws);
    out.number("bootstrap_seed", static_cast<std::int64_t>(facts.seed));
    out.end();
    out.beginArray("participants");
    for (std::size_t k = 0; k < standings.size(); ++k) {
        const Standing& s = standings[k];
        out.beginObject();
        out.string("name", printableName(s.participant.name));
        out.number("rank", static_cast<std::int64_t>(k + 1));
        out.number("overall", std::optional<double>(s.overall));
        confidence(out, s.overallSure);
        for (const Level level : {Level::Lines, Level::Words}) {
            const LevelRun& run = runOf(s, level);
            levelTotals(out, levelName(level), run.totals, [&] {
                out.number("pages_submitted", run.submitted);
                out.number("rank", static_cast<std::int64_t>(level == Level::Lines ? s.linesPlace : s.wordsPlace));
                confidence(out, sureOf(s, level));
            });
        }
        out.end();
    }
    out.end();
}

std::optional<Failure> JsonReport::finish() {
    Stream& s = *stream_;
    s.closePages();
    s.out.end();
    s.out.flush();
    s.write("\n");
    if (!s.failure)
        if (auto why = s.file.commit()) s.failure = Failure{FailureKind::Output, s.path, {}, {}, "JSON file", *why};
    return s.failure;
}

std::optional<Failure> writeOutput(const std::string& what, const fs::path& path, std::string_view text) {
    if (auto why = writeWholeFile(path, text)) return Failure{FailureKind::Output, path, {}, {}, what, std::move(*why)};
    return std::nullopt;
}

std::string pageRecord(const PageOutcome& p, const std::vector<std::string>& lines) {
    std::string text;
    JsonStream out([&text](std::string_view part) { text += part; });
    page(out, p, lines);
    out.flush();
    return text;
}

}  // namespace corvanel
