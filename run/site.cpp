#include "run/site.h"

#include "run/files.h"

namespace corvanel {

namespace fs = std::filesystem;

namespace {

// A path inside the site as a relative URL: each part percent-encoded.
std::string url(const fs::path& relative) {
    std::string out;
    for (const fs::path& part : relative) {
        if (!out.empty()) out += '/';
        for (const unsigned char c : part.string()) {
            if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
                out += static_cast<char>(c);
            } else {
                static const char digits[] = "0123456789ABCDEF";
                out += '%';
                out += digits[c >> 4];
                out += digits[c & 15];
            }
        }
    }
    return out;
}

constexpr const char* kStyle = R"(<style>
body { font-family: "Liberation Sans", Arial, sans-serif; margin: 2em; color: #222; max-width: 90em; }
table { border-collapse: collapse; margin: 0.5em 0 2em; }
caption { caption-side: top; text-align: left; font-size: 0.9em; color: #444; padding-bottom: 0.4em; max-width: 60em; }
caption b { display: block; font-size: 1.25em; color: #222; margin-bottom: 0.2em; }
th, td { padding: 0.25em 0.6em; border-bottom: 1px solid #ddd; }
th { background: #f2f2f2; text-align: left; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.unsure td:first-child::after { content: " \2248"; color: #b35806; }
table.sortable th { cursor: pointer; }
figure { margin: 0 0 2em; }
img.plot { max-width: 100%; }
td.thumbs { white-space: nowrap; }
td.thumbs img { height: 120px; border: 1px solid #ccc; margin-right: 0.4em; }
</style>
)";

// Sorts a table by the column whose header is clicked, numbers as numbers,
// an undefined rate ("---") below every number.
constexpr const char* kSortScript = R"(<script>
document.querySelectorAll("table.sortable th").forEach((th, i) => th.addEventListener("click", () => {
  const body = th.closest("table").tBodies[0], rows = [...body.rows], up = th.dataset.up !== "1";
  const key = r => { const t = r.cells[i].textContent, n = parseFloat(t); return isNaN(n) ? (/^-*$/.test(t) ? -Infinity : t) : n; };
  rows.sort((a, b) => { const x = key(a), y = key(b); return (x < y ? -1 : x > y ? 1 : 0) * (up ? 1 : -1); });
  th.dataset.up = up ? "1" : "0";
  rows.forEach(r => body.appendChild(r));
}));
</script>
)";

std::string document(const std::string& title, const std::string& body, bool sortable) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + markupEscaped(title) +
           "</title>\n" + kStyle + "</head>\n<body>\n" + body + (sortable ? kSortScript : "") + "</body>\n</html>\n";
}

bool isNumber(const std::string& field) {
    return !field.empty() && field.find_first_not_of("0123456789.-") == std::string::npos;
}

std::string cell(const std::string& field) {
    return (isNumber(field) ? "<td class=\"n\">" : "<td>") + markupEscaped(printableName(field)) + "</td>";
}

struct Table {
    std::string id{}, title{}, caption{};
    Row header{};
    std::vector<Row> rows{};
    std::vector<std::string> rowClasses{};  // a row's class, if any
    std::vector<std::string> links{};       // the page its participant (second column) links to, if any
    std::string extraHeader{};              // a last column of ready HTML, when named
    std::vector<std::string> extraCells{};
    bool sortable = false;
};

std::string html(const Table& t) {
    std::string out = "<table id=\"" + t.id + "\"" + (t.sortable ? " class=\"sortable\"" : "") + ">\n<caption><b>" +
                      markupEscaped(t.title) + "</b>" + markupEscaped(t.caption) + "</caption>\n<thead><tr>";
    for (const std::string& h : t.header) out += "<th>" + markupEscaped(h) + "</th>";
    if (!t.extraHeader.empty()) out += "<th>" + markupEscaped(t.extraHeader) + "</th>";
    out += "</tr></thead>\n<tbody>\n";
    for (std::size_t r = 0; r < t.rows.size(); ++r) {
        out += r < t.rowClasses.size() && !t.rowClasses[r].empty() ? "<tr class=\"" + t.rowClasses[r] + "\">" : "<tr>";
        for (std::size_t c = 0; c < t.rows[r].size(); ++c) {
            if (c == 1 && r < t.links.size() && !t.links[r].empty())
                out += "<td><a href=\"" + url(t.links[r]) + "\">" + markupEscaped(printableName(t.rows[r][c])) + "</a></td>";
            else
                out += cell(t.rows[r][c]);
        }
        if (!t.extraHeader.empty()) out += "<td class=\"thumbs\">" + (r < t.extraCells.size() ? t.extraCells[r] : "") + "</td>";
        out += "</tr>\n";
    }
    return out + "</tbody>\n</table>\n";
}

// A participant's page: its totals and a row a page, each level's counts and
// rates side by side, and the page's error images.
std::string participantBody(const SiteContent& c, const Standing& s, const fs::path& folder) {
    std::vector<const LevelRun*> runs;
    if (!c.onlyLevel || *c.onlyLevel == Level::Lines) runs.push_back(&s.lines);
    if (!c.onlyLevel || *c.onlyLevel == Level::Words) runs.push_back(&s.words);
    Row header{"page"};
    for (const LevelRun* run : runs)
        for (const char* column : {"submitted", "N", "M", "one2one", "DR", "RA", "FM"})
            header.push_back(std::string(levelName(run->level)) + " " + column);
    std::string body = "<p><a href=\"index.html\">Leaderboard</a></p>\n<h1>" + markupEscaped(printableName(s.participant.name)) +
                       "</h1>\n";
    std::vector<Row> rows;
    std::vector<std::string> thumbs;
    for (std::size_t i = 0; i < c.pages.size(); ++i) {
        Row row{c.pages[i]};
        for (const LevelRun* run : runs) {
            const auto& page = i < run->perPage.size() ? run->perPage[i] : std::nullopt;
            if (!page) {
                for (int n = 0; n < 7; ++n) row.push_back(n == 0 ? "not evaluated" : "");
                continue;
            }
            const Counts& n = page->counts;
            const Rates r = computeRates(n, c.facts.weights);
            for (const std::string& field :
                 {std::string(page->foundNothing ? "no" : "yes"), std::to_string(n.N), std::to_string(n.M),
                  std::to_string(n.one2one), twoDecimals(r.DR), twoDecimals(r.RA), twoDecimals(r.FM)})
                row.push_back(field);
        }
        rows.push_back(std::move(row));
        std::string images;
        if (c.errorImages) {
            const fs::path dir = c.rankedErrorImages ? *c.errorImages / s.participant.name : *c.errorImages;
            for (const LevelRun* run : runs) {
                const std::string stem = c.pages[i] + "." + levelName(run->level) + ".errors";
                const fs::path image = dir / (stem + ".png");
                fs::path thumb = dir / (stem + ".thumb.png");
                std::error_code ec;
                if (!fs::exists(folder / image, ec)) continue;
                if (!fs::exists(folder / thumb, ec)) thumb = image;
                images += "<a href=\"" + url(image) + "\"><img src=\"" + url(thumb) + "\" alt=\"" +
                          markupEscaped(printableName(c.pages[i])) + ", " + levelName(run->level) + "\" loading=\"lazy\"></a>";
            }
        }
        thumbs.push_back(std::move(images));
    }
    BoardFacts facts = c.facts;
    facts.draws = 0;
    Table t{.id = "pages",
            .title = "Pages",
            .caption = " " + boardCaption(facts) + " Click a column's header to sort by it.",
            .header = header,
            .rows = rows,
            .sortable = true};
    if (c.errorImages) {
        t.extraHeader = "error images";
        t.extraCells = std::move(thumbs);
    }
    return body + html(t);
}

// A participant's page: "p", its place from 1 (which keeps names apart),
// "-", and its name with every character but letters, digits, '-' and '_' made '_'.
std::string participantPage(const std::string& name, std::size_t k) {
    std::string out = "p" + std::to_string(k + 1) + "-";
    for (const unsigned char c : name) out += std::isalnum(c) || c == '-' || c == '_' ? static_cast<char>(c) : '_';
    return out + ".html";
}

}  // namespace

std::optional<fs::path> insideSite(const fs::path& folder, const fs::path& site) {
    std::error_code ec;
    const fs::path inside = fs::weakly_canonical(folder, ec).lexically_relative(fs::weakly_canonical(site, ec));
    if (inside.empty() || *inside.begin() == "..") return std::nullopt;
    return inside;
}

std::optional<Failure> writeSite(const fs::path& folder, const SiteContent& c) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec))
        return Failure{FailureKind::Output, folder, {}, {}, "site", "cannot create the folder"};
    const auto write = [&](const std::string& file, const std::string& text) {
        return writeOutput("site page", folder / file, text);
    };
    std::vector<std::string> links;
    for (std::size_t k = 0; k < c.standings.size(); ++k) {
        const Standing& s = c.standings[k];
        links.push_back(participantPage(s.participant.name, k));
        if (auto failure = write(links.back(), document(printableName(s.participant.name),
                                                        participantBody(c, s, folder), true)))
            return failure;
    }

    std::string body;
    std::string caption = " " + boardCaption(c.facts);
    if (c.onlyLevel) {
        const Standing& s = c.standings.at(0);
        const LevelRun& run = *c.onlyLevel == Level::Lines ? s.lines : s.words;
        const Pooled& p = run.totals;
        body += "<h1>" + markupEscaped(printableName(s.participant.name)) + "</h1>\n";
        body += html(Table{.id = "totals",
                           .title = "Totals",
                           .caption = caption,
                           .header = {"level", "participant", "pages", "N", "M", "one2one", "DR", "RA", "FM"},
                           .rows = {{levelName(*c.onlyLevel), s.participant.name, std::to_string(p.pages),
                                     std::to_string(p.counts.N), std::to_string(p.counts.M),
                                     std::to_string(p.counts.one2one), twoDecimals(p.rates.DR),
                                     twoDecimals(p.rates.RA), twoDecimals(p.rates.FM)}},
                           .links = links});
    } else {
        body += "<h1>Leaderboard</h1>\n";
        for (const Board board : {Board::Overall, Board::Lines, Board::Words}) {
            const std::vector<Row> rows = boardRows(c.standings, board);
            std::vector<std::string> classes, boardLinks;
            std::vector<std::size_t> order(c.standings.size());
            for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
            if (board != Board::Overall) order = boardOrder(c.standings, board == Board::Lines ? Level::Lines : Level::Words);
            for (const std::size_t k : order) {
                const Standing& s = c.standings[k];
                const auto& sure = board == Board::Overall ? s.overallSure
                                   : board == Board::Lines ? s.linesSure
                                                           : s.wordsSure;
                classes.push_back(sure && sure->aboveNext && *sure->aboveNext < kSeparatedShare ? "unsure" : "");
                boardLinks.push_back(links[k]);
            }
            const std::string id = board == Board::Overall ? "overall" : board == Board::Lines ? "lines" : "words";
            body += html(Table{.id = id,
                               .title = boardTitle(board),
                               .caption = caption,
                               .header = boardHeader(board),
                               .rows = rows,
                               .rowClasses = classes,
                               .links = boardLinks});
        }
        body += "<p>&#8776; marks a place the data cannot separate from the next one.</p>\n";
    }
    if (c.plot)
        body += "<figure><img class=\"plot\" src=\"" + url(*c.plot) +
                "\" alt=\"FM, DR and RA against the threshold\"><figcaption>FM, DR and RA against the threshold. " +
                markupEscaped(caption) + "</figcaption></figure>\n";
    return write("index.html", document(c.onlyLevel ? "Corvanel: " + printableName(c.standings.at(0).participant.name)
                                                    : "Corvanel: leaderboard",
                                        body, false));
}

}  // namespace corvanel
