#pragma once

// Every text a run's results are written as, besides Results.txt
// (report.h): the tool's lines and totals, CSV as spreadsheets read it,
// Markdown, aligned text tables and JSON.

#include "run/results.h"
#include "run/workspace.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel {

using Row = std::vector<std::string>;

// Text for XML or HTML, as character data or an attribute's value: & < > " '
// escaped, control characters (which XML cannot hold) left out.
std::string markupEscaped(std::string_view text);

// One field, quoted when it holds a comma, a quote or a line break (RFC 4180).
std::string csvField(std::string_view text);
// The header and rows, CRLF line ends.
std::string csvTable(const Row& header, const std::vector<Row>& rows);
std::string markdownTable(const Row& header, const std::vector<Row>& rows);
// Columns padded to their widest field, two blanks apart.
std::string textTable(const Row& header, const std::vector<Row>& rows);

// A rate unrounded (the shortest text that reads back as the same double);
// empty when undefined.
std::string exactNumber(std::optional<double> value);
// A rate "%.2f"; "---" when undefined.
std::string twoDecimals(std::optional<double> value);

// The counts and the rates' texts as the tool prints them, a line each
// ("N: 38", ..., "FM    : 96.10%").
std::string countsText(const Counts& counts, const RateTexts& rates);

// What the tool says of a page, one line a failure: the window's text with
// side, level and reason; for a page whose maps are missing, which ones, in
// one line. Nothing for a page evaluated without trouble.
std::vector<std::string> pageLines(const Workspace& workspace, const PageOutcome& page);

// A CSV row a page: kPageColumns.
extern const Row kPageColumns;
Row pageRow(const PageOutcome& page, Level level, const std::vector<std::string>& lines);

// A row a sweep point: kSweepColumns; rates unrounded (`exact`) or "%.2f".
extern const Row kSweepColumns;
std::vector<Row> sweepRows(const std::vector<SweepPoint>& points, bool exact);

// A share "%.1f".
std::string fixed1(double value);

// The leaderboard as one table, every number of every board: rank,
// participant, overall, then each level's pages, counts and rates; then
// each level's pages submitted, the overall score's interval and share
// above the next place, and each level's place, FM interval and share.
Row leaderboardHeader();
std::vector<Row> leaderboardRows(const std::vector<Standing>& standings, bool exact);

// What a leaderboard's caption says.
struct BoardFacts {
    std::filesystem::path groundTruth;
    std::size_t pages = 0;  // pages with ground truth
    std::int32_t threshold = 90;
    Weights weights;
    std::string date;       // YYYY-MM-DD
    std::string version;    // the tool's
    std::int64_t draws = 0; // of the bootstrap; 0 for none
    std::uint64_t seed = 0;
};
std::string boardCaption(const BoardFacts& facts);
// Today, or the day SOURCE_DATE_EPOCH names, as YYYY-MM-DD (UTC).
std::string today();

// The boards: overall, and each level's by its FM.
enum class Board { Overall, Lines, Words };
const char* boardTitle(Board board);
Row boardHeader(Board board);
// Rates "%.2f", shares "%.1f"; "separated" is "yes" or "no" but for the last place.
std::vector<Row> boardRows(const std::vector<Standing>& standings, Board board);
// The caption, then each board under its title, as text tables or Markdown.
std::string boardsText(const std::vector<Standing>& standings, const BoardFacts& facts, bool markdown);

// The JSON file of a run, written as it goes (whole or not at all, see
// ReplacingFile), so that memory stays bounded by the page at hand: the
// settings, then each page (what matched what, region by region), then the
// totals, the sweep or the leaderboard, in the order given.
class JsonReport {
public:
    // `level` is left out for a ranking, which runs both.
    JsonReport(const std::filesystem::path& file, const std::filesystem::path& workspace, std::optional<Level> level,
               std::int32_t threshold, const Weights& weights);
    ~JsonReport();
    JsonReport(const JsonReport&) = delete;
    JsonReport& operator=(const JsonReport&) = delete;

    void addPage(const PageOutcome& page, const std::vector<std::string>& lines);
    void setTotals(const Pooled& totals);
    void setSweep(const std::vector<SweepPoint>& points);
    void setLeaderboard(const std::vector<Standing>& standings, const BoardFacts& facts);
    // Closes the file and puts it in place; why it could not be written.
    std::optional<Failure> finish();

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

// One page's record as the JSON file holds it in "pages", alone.
std::string pageRecord(const PageOutcome& page, const std::vector<std::string>& lines);

// Writes `text` to `path` whole or not at all; the failure ("Cannot write
// the <what> <path>: why") when it could not.
std::optional<Failure> writeOutput(const std::string& what, const std::filesystem::path& path, std::string_view text);

}  // namespace corvanel
