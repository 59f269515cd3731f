#include "run/writers.h"

#include "eval/diagnosis.h"
#include "run/files.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

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

Row leaderboardHeader() {
    Row header{"rank", "participant", "overall"};
    for (const Level level : {Level::Lines, Level::Words})
        for (const char* column : {"pages", "N", "M", "one2one", "DR", "RA", "FM"})
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
        table.push_back(std::move(row));
    }
    return table;
}

// ---------------------------------------------------------------- JSON

namespace {

Json optionalJson(std::optional<double> v) { return v ? Json(*v) : Json(nullptr); }

Json countsJson(const Counts& c, const Rates& r) {
    return Json{{"N", c.N},
                {"M", c.M},
                {"one2one", c.one2one},
                {"g_one2many", c.g_one2many},
                {"g_many2one", c.g_many2one},
                {"d_one2many", c.d_one2many},
                {"d_many2one", c.d_many2one},
                {"DR", optionalJson(r.DR)},
                {"RA", optionalJson(r.RA)},
                {"FM", optionalJson(r.FM)}};
}

Json regionsJson(const std::vector<RegionDiagnosis>& regions) {
    Json list = Json::array();
    for (const RegionDiagnosis& r : regions) {
        list.push_back({{"label", r.label},
                        {"area", r.area},
                        {"bbox", {r.box.left, r.box.top, r.box.right, r.box.bottom}},
                        {"status", statusName(r.status)},
                        {"partners", r.partners},
                        {"score", r.score ? Json(*r.score) : Json(nullptr)},
                        {"best", r.best ? Json{{"label", r.best->label}, {"score", r.best->score}} : Json(nullptr)}});
    }
    return list;
}

Json pageJson(const PageOutcome& page, const std::vector<std::string>& lines) {
    Json json{{"name", printableName(page.name)}, {"evaluated", page.evaluated}};
    if (page.evaluated) {
        const PageEvaluation& e = page.evaluation;
        json.update(countsJson(e.counts, e.rates));
        Json pairs = Json::array();
        for (const MatchedPair& p : e.detail.one2one)
            pairs.push_back({{"gt", p.gtLabel}, {"result", p.rsLabel}, {"score", p.score}});
        Json gtGroups = Json::array();
        for (const MatchedGroup& g : e.detail.gtCentred) gtGroups.push_back({{"gt", g.centre}, {"results", g.members}});
        Json rsGroups = Json::array();
        for (const MatchedGroup& g : e.detail.resultCentred)
            rsGroups.push_back({{"result", g.centre}, {"gts", g.members}});
        json["one2one_pairs"] = std::move(pairs);
        json["gt_groups"] = std::move(gtGroups);
        json["result_groups"] = std::move(rsGroups);
        json["unmatched_gt"] = e.detail.unmatchedGt;
        json["unmatched_result"] = e.detail.unmatchedResult;
        if (e.diagnosis) {
            json["gt_regions"] = regionsJson(e.diagnosis->gt());
            json["result_regions"] = regionsJson(e.diagnosis->result());
        }
    }
    Json shown = Json::array();
    for (const std::string& line : lines) shown.push_back(printableName(line));
    json["messages"] = std::move(shown);
    return json;
}

Json levelJson(const Pooled& p) {
    return Json{{"pages_evaluated", p.pages},         {"N", p.counts.N},
                {"M", p.counts.M},                    {"one2one", p.counts.one2one},
                {"DR", optionalJson(p.rates.DR)},     {"RA", optionalJson(p.rates.RA)},
                {"FM", optionalJson(p.rates.FM)}};
}

}  // namespace

struct JsonReport::Tree {
    Json json;
};

JsonReport::JsonReport(const fs::path& workspace, std::optional<Level> level, std::int32_t threshold,
                       const Weights& w)
    : tree_(std::make_unique<Tree>()) {
    Json& json = tree_->json;
    json["workspace"] = printableName(workspace.string());
    if (level) json["level"] = levelName(*level);
    json["threshold"] = threshold;
    json["weights"] = {w.w1, w.w2, w.w3};
    if (level) json["pages"] = Json::array();
}

JsonReport::~JsonReport() = default;

void JsonReport::addPage(const PageOutcome& page, const std::vector<std::string>& lines) {
    tree_->json["pages"].push_back(pageJson(page, lines));
}

void JsonReport::setTotals(const Pooled& totals) {
    Json json{{"pages_evaluated", totals.pages}};
    json.update(countsJson(totals.counts, totals.rates));
    tree_->json["totals"] = std::move(json);
}

void JsonReport::setSweep(const std::vector<SweepPoint>& points) {
    Json list = Json::array();
    for (const SweepPoint& p : points) {
        const Rates& r = p.at.rates;
        list.push_back({{"participant", printableName(p.participant)}, {"level", levelName(p.level)},
                        {"threshold", p.threshold}, {"N", p.at.counts.N}, {"M", p.at.counts.M},
                        {"one2one", p.at.counts.one2one}, {"DR", optionalJson(r.DR)}, {"RA", optionalJson(r.RA)},
                        {"FM", optionalJson(r.FM)}});
    }
    tree_->json["sweep"] = std::move(list);
}

void JsonReport::setLeaderboard(const std::vector<Standing>& standings) {
    Json list = Json::array();
    for (std::size_t k = 0; k < standings.size(); ++k) {
        const Standing& s = standings[k];
        list.push_back({{"name", printableName(s.participant.name)}, {"rank", k + 1}, {"overall", s.overall},
                        {"lines", levelJson(s.lines.totals)}, {"words", levelJson(s.words.totals)}});
    }
    tree_->json["participants"] = std::move(list);
}

std::string JsonReport::text() const { return tree_->json.dump(2) + "\n"; }

std::optional<Failure> writeOutput(const std::string& what, const fs::path& path, std::string_view text) {
    if (auto why = writeWholeFile(path, text)) return Failure{FailureKind::Output, path, {}, {}, what, std::move(*why)};
    return std::nullopt;
}

}  // namespace corvanel
