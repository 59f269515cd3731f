// corvanel-eval for a contest: participants ranked against their own single
// runs, threshold sweeps against plain runs, and CSV read back as a
// spreadsheet reads it.

#include "tools/synth.h"
#include "tests/support/test_support.h"
#include "tools/workspace.h"
#include "run/bootstrap.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QImage>
#include <QXmlStreamReader>

#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>


namespace corvanel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testing::ToolRun;

ToolRun eval(const std::string& args, const fs::path& scratch) {
    return testing::runTool(std::string(CORVANEL_EVAL_EXE) + " " + args, scratch);
}

// A workspace with three participants under participants/: "method" (the
// generator's imperfect result), "perfect" (the ground truth itself) and
// "lines-only" (no word maps at all).
class Contest : public ::testing::Test {
protected:
    void SetUp() override {
        synth::PageLayout layout;
        layout.width = 300;
        layout.height = 400;
        layout.lines = 6;
        layout.wordsPerLine = 4;
        layout.errorRate = 0.4;
        synth::writeWorkspace(ws.path(), 4, layout);
        const fs::path all = ws.path() / "participants";
        fs::create_directories(all);
        fs::copy(ws.path() / "results", all / "method", fs::copy_options::recursive);
        fs::copy(ws.path() / "gt", all / "perfect", fs::copy_options::recursive);
        fs::create_directories(all / "lines-only");
        fs::copy(ws.path() / "results" / "lines", all / "lines-only" / "lines", fs::copy_options::recursive);
    }
    std::string w() const { return ws.path().string(); }

    testing::TempDir ws{"corvanel-contest"};
    testing::TempDir scratch{"corvanel-contest-out"};
};

TEST_F(Contest, LeaderboardEqualsEachParticipantsOwnRuns) {
    const fs::path board = scratch.path() / "board.json";
    const ToolRun ranked = eval("rank " + w() + " " + w() + "/participants --jobs 2 --json " + board.string(), scratch.path());
    ASSERT_EQ(ranked.exitCode, 0) << ranked.err;
    std::string skipped;
    for (const char* page : {"page01", "page02", "page03", "page04"})
        skipped += std::string("lines-only: ") + page + ".tif: no result map participants/lines-only/words/" + page +
                   ".tif.dat\n";
    EXPECT_EQ(ranked.err, skipped + "lines-only: 0 of 4 pages submitted (words); the others count as pages where "
                                    "nothing was found\n");
    const json doc = json::parse(testing::readBytes(board));
    const json& list = doc.at("participants");
    ASSERT_EQ(list.size(), 3u);
    // Best first: the ground truth scores 100 at both levels.
    EXPECT_EQ(list[0].at("name"), "perfect");
    EXPECT_EQ(list[0].at("overall"), 100.0);
    for (std::size_t k = 0; k < list.size(); ++k) {
        const json& p = list[k];
        EXPECT_EQ(p.at("rank"), k + 1);
        const std::string name = p.at("name");
        double fmSum = 0;
        for (const char* level : {"lines", "words"}) {
            SCOPED_TRACE(name + " " + level);
            const fs::path single = scratch.path() / (name + level + ".json");
            eval(w() + " --level " + level + " --results " + w() + "/participants/" + name + " --report " +
                     (scratch.path() / "r.txt").string() + " --json " + single.string(),
                 scratch.path());
            const json totals = json::parse(testing::readBytes(single)).at("totals");
            const json& mine = p.at(level);
            fmSum += mine.at("FM").is_null() ? 0.0 : mine.at("FM").get<double>();
            if (name == "lines-only" && std::string(level) == "words") {
                // Its missing pages count, every region missed.
                EXPECT_EQ(totals.at("pages_evaluated"), 0);
                EXPECT_EQ(mine.at("pages_evaluated"), 4);
                EXPECT_EQ(mine.at("pages_submitted"), 0);
                EXPECT_EQ(mine.at("N"), list[0].at("words").at("N"));
                EXPECT_EQ(mine.at("one2one"), 0);
                continue;
            }
            EXPECT_EQ(mine.at("pages_evaluated"), totals.at("pages_evaluated"));
            EXPECT_EQ(mine.at("pages_submitted"), totals.at("pages_evaluated"));
            for (const char* key : {"N", "M", "one2one", "DR", "RA", "FM"}) EXPECT_EQ(mine.at(key), totals.at(key)) << key;
        }
        EXPECT_DOUBLE_EQ(p.at("overall").get<double>(), fmSum / 2);
    }
    EXPECT_GT(list[1].at("overall").get<double>(), list[2].at("overall").get<double>());
    EXPECT_NE(ranked.out.find("perfect"), std::string::npos) << ranked.out;

    // A folder that is neither a participant nor holds one is refused.
    const ToolRun refused = eval("rank " + w() + " " + w() + "/images", scratch.path());
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.err, "corvanel-eval: " + w() + "/images holds no lines/ or words/ folder or PAGE/ALTO file, nor sub-folders that do\n");
}

TEST_F(Contest, SweepRowsEqualPlainRunsAtTheirThreshold) {
    const fs::path sweep = scratch.path() / "sweep.json";
    const ToolRun swept = eval(w() + " --level words --sweep 30:90:30 --json " + sweep.string(), scratch.path());
    ASSERT_EQ(swept.exitCode, 0) << swept.err;
    const json rows = json::parse(testing::readBytes(sweep)).at("sweep");
    ASSERT_EQ(rows.size(), 3u);
    for (const json& row : rows) {
        const int T = row.at("threshold");
        SCOPED_TRACE(T);
        EXPECT_EQ(row.at("participant"), "results");
        EXPECT_EQ(row.at("level"), "words");
        const fs::path plain = scratch.path() / "plain.json";
        eval(w() + " --level words --threshold " + std::to_string(T) + " --report " + (scratch.path() / "r.txt").string() +
                 " --json " + plain.string(),
             scratch.path());
        const json totals = json::parse(testing::readBytes(plain)).at("totals");
        for (const char* key : {"N", "M", "one2one", "DR", "RA", "FM"}) EXPECT_EQ(row.at(key), totals.at(key)) << key;
    }
    EXPECT_NE(rows[0].at("one2one"), rows[2].at("one2one"));  // the threshold matters on these pages
}

// RFC 4180 fields, quotes doubled inside quoted fields.
std::vector<std::vector<std::string>> readCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += text[++i];
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    if (rows.back().empty()) rows.pop_back();
    return rows;
}

TEST_F(Contest, CsvReadsBackWithEveryColumnNamed) {
    fs::rename(ws.path() / "images" / "page02.tif", ws.path() / "images" / "a,\"b\".tif");
    const fs::path csv = scratch.path() / "pages.csv";
    const ToolRun run = eval(w() + " --csv " + csv.string(), scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto rows = readCsv(testing::readBytes(csv));
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"page", "level", "evaluated", "N", "M", "one2one", "g_one2many",
                                                 "g_many2one", "d_one2many", "d_many2one", "DR", "RA", "FM",
                                                 "reason"}));
    for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size());
    EXPECT_EQ(rows[1][0], "a,\"b\".tif");
    EXPECT_EQ(rows[1][2], "no");  // its maps keep the old name
    EXPECT_EQ(rows[1][13], "a,\"b\".tif: no ground-truth map gt/lines/a,\"b\".tif.dat and no result map "
                           "results/lines/a,\"b\".tif.dat");
    EXPECT_EQ(rows[2][0], "page01.tif");
    EXPECT_EQ(rows[2][2], "yes");
    // Rates unrounded: they read back as the JSON's numbers.
    const double N = std::stod(rows[2][3]), one2one = std::stod(rows[2][5]);
    EXPECT_EQ(std::stod(rows[2][10]), 100 * one2one / N);
}

// File names are bytes: a page whose name is not UTF-8 is found, evaluated
// and named in one escaped form; files written through links keep the link.
TEST_F(Contest, NamesThatAreNotUtf8AndFilesBehindLinks) {
    const std::string name = "p\xe9.tif";
    fs::rename(ws.path() / "images" / "page02.tif", ws.path() / "images" / name);
    for (const char* side : {"gt", "results"})
        for (const char* level : {"lines", "words"})
            fs::rename(ws.path() / side / level / "page02.tif.dat", ws.path() / side / level / (name + ".dat"));
    fs::remove(ws.path() / "gt" / "words" / "page03.tif.dat");
    const fs::path real = scratch.path() / "real.json", link = scratch.path() / "link.json";
    testing::writeBytes(real, "earlier\n");
    fs::create_symlink(real, link);
    const fs::path images = scratch.path() / "errors";
    const ToolRun run = eval(w() + " --level words --json " + link.string() + " --error-images " + images.string(),
                             scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "page03.tif: no ground-truth map gt/words/page03.tif.dat\n3 of 4 pages evaluated (words)\n");
    EXPECT_TRUE(fs::is_symlink(link));
    const json doc = json::parse(testing::readBytes(real));
    const json& pages = doc.at("pages");
    ASSERT_EQ(pages.size(), 4u);
    EXPECT_EQ(pages[3].at("name"), "p\\xe9.tif");  // sorted after "page04.tif", byte 0xe9 after 'a'
    EXPECT_EQ(pages[3].at("evaluated"), true);
    EXPECT_TRUE(fs::exists(images / (name + ".words.errors.png")));
    // Nothing half-written is left beside them.
    for (const fs::path& dir : {scratch.path(), images, ws.path()})
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

// The pictures show the maps that were scored: those of --results, not of
// WORKSPACE/results (which is not there at all here).
TEST_F(Contest, ErrorImagesPaintTheParticipantThatWasEvaluated) {
    fs::remove_all(ws.path() / "results");
    const auto errorPixels = [&](const char* participant) {
        const fs::path images = scratch.path() / participant;
        const ToolRun run = eval(w() + " --level words --results " + w() + "/participants/" + participant +
                                     " --error-images " + images.string(),
                                 scratch.path());
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        // Indices 2 and 3 are one2one on ink and on paper; 4 to 11 the errors;
        // the legend below the page has entries of its own.
        int errors = 0, matched = 0;
        for (const char* page : {"page01.tif", "page02.tif", "page03.tif", "page04.tif"}) {
            const QImage picture(QString::fromStdString((images / (std::string(page) + ".words.errors.png")).string()));
            EXPECT_FALSE(picture.isNull()) << page;
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x) {
                    const int index = picture.pixelIndex(x, y);
                    errors += index >= 4 && index < 12;
                    matched += index == 2 || index == 3;
                }
        }
        EXPECT_GT(matched, 0);
        return errors;
    };
    EXPECT_EQ(errorPixels("perfect"), 0);
    EXPECT_GT(errorPixels("method"), 0);
}

// A participant's or the ground truth's folder that is not there is refused
// before anything is written; nothing is scored against empty folders.
TEST_F(Contest, FoldersThatDoNotExistAreRefused) {
    const std::string report = (ws.path() / "Results.txt").string();
    testing::writeBytes(report, "earlier\r\n");
    const std::string typo = w() + "/participants/methdo";
    for (const std::string& args : {w() + " --results " + typo, w() + " --gt " + typo, "rank " + w() + " " + typo}) {
        SCOPED_TRACE(args);
        const ToolRun run = eval(args, scratch.path());
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "corvanel-eval: no folder " + typo + "\n");
    }
    EXPECT_EQ(testing::readBytes(report), "earlier\r\n");
}

// A participant's name is the bytes of its folder's name: control
// characters in it are shown as \xHH in every table, never sent raw.
TEST_F(Contest, ControlCharactersInNamesCannotSteerTheTerminalOrBreakARow) {
    const std::string name = "evil\x1b[2J\nname\xc2\x85";
    fs::copy(ws.path() / "participants" / "method", ws.path() / "participants" / name, fs::copy_options::recursive);
    const fs::path markdown = scratch.path() / "board.md", plot = scratch.path() / "curves.svg";
    const ToolRun run = eval("rank " + w() + " " + w() + "/participants --markdown " + markdown.string() +
                                 " --sweep 80:100:10 --plot " + plot.string(),
                             scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string shown = "evil\\x1b[2J\\x0aname\\xc2\\x85";
    for (const std::string& text : {run.out, testing::readBytes(markdown)}) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos);
        EXPECT_NE(text.find(shown), std::string::npos) << text;
    }
    // Three boards of a title, its caption, a header, its rule and a row a participant, blank lines between.
    const std::string board = testing::readBytes(markdown);
    EXPECT_EQ(std::count(board.begin(), board.end(), '\n'), 3 * (4 + 2 + 4) + 2);
    QXmlStreamReader svg(QByteArray::fromStdString(testing::readBytes(plot)));
    while (!svg.atEnd()) svg.readNext();
    EXPECT_FALSE(svg.hasError()) << svg.errorString().toStdString();
}

// Leaving out a hard page no longer pays: the page counts, every region
// missed. Before, a copy of the ground truth short of a page tied with the
// whole copy and won on its name.
TEST_F(Contest, APageLeftOutCountsAsNothingFound) {
    const fs::path all = ws.path() / "participants";
    fs::copy(ws.path() / "gt", all / "a-page-short", fs::copy_options::recursive);
    for (const char* level : {"lines", "words"}) fs::remove(all / "a-page-short" / level / "page03.tif.dat");
    const fs::path board = scratch.path() / "board.json";
    const ToolRun ranked = eval("rank " + w() + " " + w() + "/participants --json " + board.string() + " --strict",
                                scratch.path());
    EXPECT_EQ(ranked.exitCode, 1);  // --strict: pages were not submitted
    const json list = json::parse(testing::readBytes(board)).at("participants");
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].at("name"), "perfect");
    EXPECT_EQ(list[1].at("name"), "a-page-short");
    for (const char* level : {"lines", "words"}) {
        const json& mine = list[1].at(level);
        EXPECT_EQ(mine.at("pages_submitted"), 3);
        EXPECT_EQ(mine.at("pages_evaluated"), 4);
        EXPECT_EQ(mine.at("N"), list[0].at(level).at("N"));
        EXPECT_LT(mine.at("DR").get<double>(), 100);
        EXPECT_EQ(mine.at("RA"), 100.0);
    }
    EXPECT_LT(list[1].at("overall").get<double>(), 100);
    EXPECT_NE(ranked.err.find("a-page-short: 3 of 4 pages submitted (lines)"), std::string::npos) << ranked.err;
}

// Standings of participants whose pages score `one2one` of 10 regions, found 10 each.
std::vector<Standing> standingsOf(const std::vector<std::vector<std::int64_t>>& one2one) {
    std::vector<Standing> standings;
    for (const auto& pages : one2one) {
        Standing s;
        s.participant.name = "p" + std::to_string(standings.size());
        for (LevelRun* run : {&s.lines, &s.words}) {
            Counts sums;
            for (const std::int64_t matched : pages) {
                const Counts page{10, 10, matched, 0, 0, 0, 0};
                run->perPage.push_back(LevelRun::PageScore{page, false});
                sums += page;
            }
            run->totals = pool(sums, static_cast<std::int64_t>(pages.size()), Weights{});
        }
        s.overall = s.lines.totals.rates.FM.value_or(0);
        s.linesPlace = s.wordsPlace = standings.size() + 1;
        standings.push_back(std::move(s));
    }
    return standings;
}

TEST(Bootstrap, SeparatesOnlyWhatThePagesSupport) {
    // Better on every page: above in every draw; a constant score has no spread.
    std::vector<Standing> sure = standingsOf({std::vector<std::int64_t>(20, 10), std::vector<std::int64_t>(20, 5)});
    bootstrapStandings(sure, Weights{}, 1000);
    ASSERT_TRUE(sure[0].overallSure && sure[0].linesSure && sure[0].wordsSure);
    EXPECT_EQ(sure[0].overallSure->aboveNext, 100.0);
    EXPECT_EQ(sure[0].linesSure->aboveNext, 100.0);
    EXPECT_EQ(sure[0].overallSure->low, 100.0);
    EXPECT_EQ(sure[0].overallSure->high, 100.0);
    EXPECT_FALSE(sure[1].overallSure->aboveNext);  // the last place

    // Better on one page of 20 only: above in the draws that hold that page,
    // 1 - (19/20)^20 = 64% of them; not separated.
    std::vector<std::int64_t> one(20, 8);
    std::vector<std::int64_t> other = one;
    one[0] = 10;
    std::vector<Standing> unsure = standingsOf({one, other});
    bootstrapStandings(unsure, Weights{}, 1000);
    const double share = *unsure[0].overallSure->aboveNext;
    EXPECT_GT(share, 58);
    EXPECT_LT(share, 70);
    EXPECT_LT(unsure[0].overallSure->low, unsure[0].overall);
    EXPECT_GT(unsure[0].overallSure->high, unsure[0].overall);
    // The same seed, the same board.
    std::vector<Standing> again = standingsOf({one, other});
    bootstrapStandings(again, Weights{}, 1000);
    EXPECT_EQ(*again[0].overallSure->aboveNext, share);
}

}  // namespace
}  // namespace corvanel
