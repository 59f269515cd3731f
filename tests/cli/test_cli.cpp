// corvanel-eval end to end: the built binary on workspaces written here, its
// stdout, stderr, exit code, report and JSON.

#include "run/runner.h"
#include "eval/diagnosis.h"
#include "imaging/imagesize.h"
#include "tools/synth.h"
#include "tools/workspace.h"

#include <gtest/gtest.h>

#include "tests/cli/example_workspace.h"
#include "tests/support/map_builder.h"
#include "tests/support/test_support.h"
#include <nlohmann/json.hpp>

#include <QImage>


#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvanel {
namespace {

namespace fs = std::filesystem;
using namespace corvanel::testing;  // temporary folders, map builder, the worked example
using nlohmann::json;

// ---------------------------------------------------------------- running the tool

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

// Runs corvanel-eval with stdin empty and stdout and stderr captured in files.
class Tool {
public:
    // The same through the shell, after `limits` (such as "ulimit -v 100000").
    Outcome runLimited(const std::string& limits, const std::vector<std::string>& args) {
        std::string command = limits + " && exec " CORVANEL_EVAL_EXE;
        for (const std::string& a : args) command += " '" + a + "'";
        return run({"-c", command}, "/bin/sh");
    }

    Outcome run(const std::vector<std::string>& args, const char* program = CORVANEL_EVAL_EXE) {
        const fs::path outFile = scratch_.path() / ("out" + std::to_string(runs_));
        const fs::path errFile = scratch_.path() / ("err" + std::to_string(runs_));
        ++runs_;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) throw std::runtime_error(std::string("cannot start ") + program);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) throw std::runtime_error("waitpid failed");
        }
        Outcome o;
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        o.out = readBytes(outFile);
        o.err = readBytes(errFile);
        return o;
    }

private:
    TempDir scratch_;
    int runs_ = 0;
};

// ---------------------------------------------------------------- workspaces

// One page of every kind of match: a one-to-one pair (1 with 10), a result
// region covering two ground-truth regions (20 over 2 and 3), two
// ground-truth regions split over result regions (4 into 30, 31; 6 into
// 50, 51, 52), a missed region (5) and a spurious one (40).
void writeGroups(const TestWorkspace& ws, const std::string& name) {
    ws.writeImage(name, kPage);
    ws.writeMaps(name, "lines",
                 MapBuilder(kPage)
                     .block(1, 0, 0, 4, 4)
                     .block(2, 5, 0, 4, 4)
                     .block(3, 10, 0, 4, 4)
                     .block(4, 15, 0, 8, 4)
                     .block(5, 0, 5, 4, 4)
                     .block(6, 5, 5, 12, 4)
                     .take(),
                 MapBuilder(kPage)
                     .block(10, 0, 0, 4, 4)
                     .block(20, 5, 0, 4, 4)
                     .block(20, 10, 0, 4, 4)
                     .block(30, 15, 0, 4, 4)
                     .block(31, 19, 0, 4, 4)
                     .block(50, 5, 5, 4, 4)
                     .block(51, 9, 5, 4, 4)
                     .block(52, 13, 5, 4, 4)
                     .block(40, 20, 10, 4, 4)
                     .take());
}

const std::string kExampleCounts =
    "N: 38\n"
    "M: 39\n"
    "one2one: 37\n"
    "g_one2many: 0\n"
    "g_many2one: 0\n"
    "d_one2many: 0\n"
    "d_many2one: 0\n"
    "Detection Rate: 97.36%\n"
    "Recognition Accuracy: 94.87%\n"
    "FM    : 96.10%\n";
const std::string kExampleOut = kExampleCounts + "Im.: 2\n";

const std::string kPage01Out =
    "N: 20\n"
    "M: 21\n"
    "one2one: 19\n"
    "g_one2many: 0\n"
    "g_many2one: 0\n"
    "d_one2many: 0\n"
    "d_many2one: 0\n"
    "Detection Rate: 95.00%\n"
    "Recognition Accuracy: 90.47%\n"
    "FM    : 92.68%\n";

// What the tool says of the worked example: page03.tif has no maps.
const std::string kExampleErr =
    "page03.tif: no ground-truth map gt/lines/page03.tif.dat and no result map results/lines/page03.tif.dat\n";
const std::string kExampleSummary = "2 of 3 pages evaluated (lines)\n";

void cutOneLabel(const fs::path& path) {
    const std::string bytes = readBytes(path);
    writeBytes(path, bytes.substr(0, bytes.size() - 4));
}

// ---------------------------------------------------------------- batch

TEST(EvalToolBatch, ExamplePrintsTheTotalsAndWritesTheReport) {
    TestWorkspace ws;
    ws.writeExample();
    Tool tool;
    const Outcome o = tool.run({ws.arg()});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, kExampleOut);
    EXPECT_EQ(o.err, kExampleErr + kExampleSummary);
    EXPECT_EQ(readBytes(ws.report()), kExampleReport);
    // --strict: a page not evaluated is a failure.
    const Outcome strict = tool.run({ws.arg(), "--strict"});
    EXPECT_EQ(strict.exitCode, 1);
    EXPECT_EQ(strict.out, kExampleOut);
}

// An image library's complaints about a damaged file stay off stderr.
TEST(EvalToolBatch, ImageLibraryWarningsStayOffStderr) {
    TestWorkspace ws;
    ws.writeExample();
    // An unknown tag in place of the first page's last directory entry: libtiff warns, and reads on.
    std::string tiff = readBytes(ws.image("page01.tif"));
    ASSERT_EQ(tiff.substr(0, 2), "II");
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(tiff[at]) | static_cast<unsigned char>(tiff[at + 1]) << 8 |
                                        static_cast<unsigned char>(tiff[at + 2]) << 16 |
                                        static_cast<unsigned char>(tiff[at + 3]) << 24);
    };
    const std::size_t ifd = u32(4);
    const std::size_t entries = static_cast<unsigned char>(tiff[ifd]) | static_cast<unsigned char>(tiff[ifd + 1]) << 8;
    tiff[ifd + 2 + 12 * (entries - 1)] = '\xe8';
    tiff[ifd + 3 + 12 * (entries - 1)] = '\xfd';
    writeBytes(ws.image("page01.tif"), tiff);
    Tool tool;
    for (const char* jobs : {"1", "2"}) {
        const Outcome o = tool.run({ws.arg(), "--jobs", jobs, "--page", "page01.tif"});
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.exitCode, 0);
    }
}

TEST(EvalToolBatch, ReportOptionWritesElsewhere) {
    TestWorkspace ws;
    ws.writeExample();
    TempDir elsewhere;
    const fs::path report = elsewhere.path() / "participant 7.txt";
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--report", report.string()});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, kExampleOut);
    EXPECT_EQ(readBytes(report), kExampleReport);
    EXPECT_FALSE(fs::exists(ws.report()));
}

TEST(EvalToolBatch, ReportThatCannotBeWrittenExitsOneAfterTheTotals) {
    TestWorkspace ws;
    ws.writeExample();
    fs::create_directories(ws.report());
    Tool tool;
    const Outcome o = tool.run({ws.arg()});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, kExampleOut);
    EXPECT_EQ(o.err, "Cannot create the report " + ws.report().string() + "\n" + kExampleErr + kExampleSummary);

    const fs::path nowhere = ws.path() / "no such folder" / "Results.txt";
    const Outcome missingFolder = tool.run({ws.arg(), "--report", nowhere.string()});
    EXPECT_EQ(missingFolder.exitCode, 1);
    EXPECT_EQ(missingFolder.out, kExampleOut);
    EXPECT_EQ(missingFolder.err, "Cannot create the report " + nowhere.string() + "\n" + kExampleErr + kExampleSummary);

    if (fs::exists("/dev/full")) {
        const Outcome full = tool.run({ws.arg(), "--report", "/dev/full"});
        EXPECT_EQ(full.exitCode, 1);
        EXPECT_EQ(full.out, kExampleOut);
        // Written as it goes, not buffered: the first write fails.
        EXPECT_EQ(full.err, "Cannot write the report /dev/full\n" + kExampleErr + kExampleSummary);
    }
}

TEST(EvalToolBatch, MessagesGoToStderrInPageOrder) {
    TestWorkspace ws;
    ws.writeExample();
    cutOneLabel(ws.map("gt", "lines", "page02.tif"));
    ws.writeMaps("page03.tif", "lines", MapBuilder(kPage).cells(0, 2, 1).take(),
                 MapBuilder(kPage).cells(0, 2, 1).take());
    cutOneLabel(ws.map("results", "lines", "page03.tif"));
    writeBytes(ws.image("page04.tif"), "not an image");
    Tool tool;
    for (const char* jobs : {"1", "4"}) {
        SCOPED_TRACE(jobs);
        const Outcome o = tool.run({ws.arg(), "--jobs", jobs});
        EXPECT_EQ(o.exitCode, 0);
        // The window's texts, each with the reason after it.
        EXPECT_EQ(o.err,
                  "Problem with file page02.tif.dat (ground truth, lines): 3,196 bytes, 3,200 expected\n"
                  "Problem with file page03.tif.dat (result, lines): 3,196 bytes, 3,200 expected\n"
                  "Cannot read the page image page04.tif; the page was not evaluated\n"
                  "1 of 4 pages evaluated (lines)\n");
        EXPECT_EQ(o.out, kPage01Out + "Im.: 1\n");
        EXPECT_EQ(readBytes(ws.report()),
                  kHeader + "\r\n" + kPage01Line + "page02.tif\t\r\npage03.tif\t\r\npage04.tif\t\r\n");
    }
}

TEST(EvalToolBatch, EmptyImagesFolderGivesUndefinedScores) {
    TestWorkspace ws;
    fs::create_directories(ws.path() / "images");
    Tool tool;
    const Outcome o = tool.run({ws.arg()});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out,
              "N: 0\nM: 0\none2one: 0\ng_one2many: 0\ng_many2one: 0\nd_one2many: 0\nd_many2one: 0\n"
              "Detection Rate: ---\nRecognition Accuracy: ---\nFM    : ---\nIm.: 0\n");
    EXPECT_EQ(readBytes(ws.report()), kHeader + "\r\n");
}

TEST(EvalToolBatch, LevelWordsReadsTheWordMaps) {
    TestWorkspace ws;
    ws.writeExample();
    ws.writeMaps("page02.tif", "words", MapBuilder(kPage).cells(0, 3, 1).take(),
                 MapBuilder(kPage).cells(0, 1, 9).cells(10, 2, 20).take());
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--level", "words"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out,
              "N: 3\nM: 3\none2one: 1\ng_one2many: 0\ng_many2one: 0\nd_one2many: 0\nd_many2one: 0\n"
              "Detection Rate: 33.33%\nRecognition Accuracy: 33.33%\nFM    : 33.33%\nIm.: 1\n");
    EXPECT_EQ(readBytes(ws.report()),
              kHeader + "\r\npage01.tif\t\r\npage02.tif\t33.33\t33.33\t33.33\t3\t3\t1\t\r\npage03.tif\t\r\n");
}

TEST(EvalToolBatch, HeaderOptionTakesTheSizeFromTheMaps) {
    // The images are of another size than the maps; with headers that does not matter.
    TestWorkspace ws;
    ws.writeExample(PageSize{7, 3}, true);
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--header"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, kExampleOut);
    EXPECT_EQ(o.err, kExampleErr + kExampleSummary);
    EXPECT_EQ(readBytes(ws.report()), kExampleReport);
}

TEST(EvalToolBatch, ThresholdTextIsReadAsTheFieldReadsIt) {
    // A result region covering 93 of a ground-truth region's 100 pixels.
    TestWorkspace ws;
    ws.writeImage("p.tif", kPage);
    ws.writeMaps("p.tif", "lines", MapBuilder(kPage).block(1, 0, 0, 10, 10).take(),
                 MapBuilder(kPage).block(2, 0, 0, 10, 9).block(2, 0, 9, 3, 1).take());
    Tool tool;
    const std::string matched =
        "N: 1\nM: 1\none2one: 1\ng_one2many: 0\ng_many2one: 0\nd_one2many: 0\nd_many2one: 0\n"
        "Detection Rate: 100.0%\nRecognition Accuracy: 100.0%\nFM    : 100.0%\nIm.: 1\n";
    const std::string unmatched =
        "N: 1\nM: 1\none2one: 0\ng_one2many: 0\ng_many2one: 0\nd_one2many: 0\nd_many2one: 0\n"
        "Detection Rate: 0.00%\nRecognition Accuracy: 0.00%\nFM    : 0.00%\nIm.: 1\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, matched},                              // 90 by default
        {{"--threshold", "93"}, matched},
        {{"--threshold", "95"}, unmatched},
    };
    for (const auto& [extra, expected] : cases) {
        std::vector<std::string> args{ws.arg()};
        args.insert(args.end(), extra.begin(), extra.end());
        SCOPED_TRACE(extra.empty() ? "default" : "'" + extra[1] + "'");
        const Outcome o = tool.run(args);
        EXPECT_EQ(o.exitCode, 0);
        EXPECT_EQ(o.out, expected);
        EXPECT_EQ(o.err, "");
    }
}

TEST(EvalToolBatch, WeightsAreReadAsTheHiddenFieldsReadThem) {
    TestWorkspace ws;
    writeGroups(ws, "g.tif");
    Tool tool;
    const std::string counts =
        "N: 6\nM: 8\none2one: 1\ng_one2many: 1\ng_many2one: 5\nd_one2many: 2\nd_many2one: 2\n";
    const Outcome byDefault = tool.run({ws.arg()});
    EXPECT_EQ(byDefault.exitCode, 0);
    EXPECT_EQ(byDefault.out, counts +
                                 "Detection Rate: 16.66%\nRecognition Accuracy: 12.50%\nFM    : 14.28%\nIm.: 1\n");
    // w2 and w3 are decimal numbers truncated toward zero: 40 and 10.
    const Outcome weighted = tool.run({ws.arg(), "--weights", "100,40.9,10.2"});
    EXPECT_EQ(weighted.exitCode, 0);
    EXPECT_EQ(weighted.out, counts +
                                "Detection Rate: 31.66%\nRecognition Accuracy: 25.00%\nFM    : 27.94%\nIm.: 1\n");
    // The page's report row is scored with the same weights.
    EXPECT_EQ(readBytes(ws.report()), kHeader + "\r\ng.tif\t31.67\t25.00\t27.94\t6\t8\t1\t\r\n");
}

// ---------------------------------------------------------------- one page

TEST(EvalToolPage, PrintsThePageAndLeavesTheReport) {
    TestWorkspace ws;
    ws.writeExample();
    const std::string old = "an old report\r\n";
    writeBytes(ws.report(), old);
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--page", "page01.tif"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, kPage01Out);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(readBytes(ws.report()), old);

    // Without a report to leave alone, none is created.
    fs::remove(ws.report());
    EXPECT_EQ(tool.run({ws.arg(), "--page", "page02.tif"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(ws.report()));
}

TEST(EvalToolPage, PageThatCannotBeEvaluatedPrintsNothingAndExitsOne) {
    TestWorkspace ws;
    ws.writeExample();
    cutOneLabel(ws.map("results", "lines", "page02.tif"));
    Tool tool;

    const Outcome noMaps = tool.run({ws.arg(), "--page", "page03.tif"});
    EXPECT_EQ(noMaps.exitCode, 1);
    EXPECT_EQ(noMaps.out, "");
    EXPECT_EQ(noMaps.err, kExampleErr);

    const Outcome shortMap = tool.run({ws.arg(), "--page", "page02.tif"});
    EXPECT_EQ(shortMap.exitCode, 1);
    EXPECT_EQ(shortMap.out, "");
    EXPECT_EQ(shortMap.err, "Problem with file page02.tif.dat (result, lines): 3,196 bytes, 3,200 expected\n");

    const Outcome noImage = tool.run({ws.arg(), "--page", "page09.tif"});
    EXPECT_EQ(noImage.exitCode, 1);
    EXPECT_EQ(noImage.out, "");
    EXPECT_EQ(noImage.err, "Cannot read the page image page09.tif; the page was not evaluated\n");
    EXPECT_FALSE(fs::exists(ws.report()));
}

// ---------------------------------------------------------------- JSON

TEST(EvalToolJson, DescribesEveryPageAndTheTotals) {
    TestWorkspace ws;
    writeGroups(ws, "g.tif");
    ws.writeImage("h.tif", kPage);  // no label maps
    ws.writeImage("i.tif", kPage);
    ws.writeMaps("i.tif", "lines", MapBuilder(kPage).cells(0, 1, 1).take(), MapBuilder(kPage).cells(0, 1, 1).take());
    cutOneLabel(ws.map("gt", "lines", "i.tif"));
    ws.writeImage("j.tif", kPage);  // no ground-truth region
    ws.writeMaps("j.tif", "lines", MapBuilder(kPage).take(), MapBuilder(kPage).cells(3, 1, 77).take());
    TempDir out;
    const fs::path file = out.path() / "details.json";
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--json", file.string()});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.err, "h.tif: no ground-truth map gt/lines/h.tif.dat and no result map results/lines/h.tif.dat\n"
                     "Problem with file i.tif.dat (ground truth, lines): 3,196 bytes, 3,200 expected\n"
                     "2 of 4 pages evaluated (lines)\n");

    const json doc = json::parse(readBytes(file));
    EXPECT_EQ(doc.at("threshold"), 90);
    EXPECT_EQ(doc.at("level"), "lines");
    EXPECT_EQ(doc.at("weights"), json::array({100, 0, 0}));

    const json& pages = doc.at("pages");
    ASSERT_EQ(pages.size(), 4u);
    std::vector<std::string> names;
    for (const json& p : pages) names.push_back(p.at("name").get<std::string>());
    EXPECT_EQ(names, (std::vector<std::string>{"g.tif", "h.tif", "i.tif", "j.tif"}));

    const json& g = pages[0];
    EXPECT_EQ(g.at("evaluated"), true);
    EXPECT_EQ(g.at("N"), 6);
    EXPECT_EQ(g.at("M"), 8);
    EXPECT_EQ(g.at("one2one"), 1);
    EXPECT_EQ(g.at("g_one2many"), 1);
    EXPECT_EQ(g.at("g_many2one"), 5);
    EXPECT_EQ(g.at("d_one2many"), 2);
    EXPECT_EQ(g.at("d_many2one"), 2);
    EXPECT_DOUBLE_EQ(g.at("DR").get<double>(), 100.0 / 6);
    EXPECT_DOUBLE_EQ(g.at("RA").get<double>(), 12.5);
    EXPECT_NEAR(g.at("FM").get<double>(), 14.2857142857, 1e-9);
    EXPECT_EQ(g.at("one2one_pairs"), json::parse(R"([{"gt": 1, "result": 10, "score": 100}])"));
    EXPECT_EQ(g.at("gt_groups"),
              json::parse(R"([{"gt": 4, "results": [30, 31]}, {"gt": 6, "results": [50, 51, 52]}])"));
    EXPECT_EQ(g.at("result_groups"), json::parse(R"([{"result": 20, "gts": [2, 3]}])"));
    EXPECT_EQ(g.at("unmatched_gt"), json::array({5}));
    EXPECT_EQ(g.at("unmatched_result"), json::array({40}));
    EXPECT_EQ(g.at("messages"), json::array());
    // One record per region, in label order, saying what became of it.
    auto region = [](const json& list, int label) {
        for (const json& r : list)
            if (r.at("label") == label) return r;
        return json();
    };
    EXPECT_EQ(g.at("gt_regions").size(), 6u);
    EXPECT_EQ(g.at("result_regions").size(), 8u);
    EXPECT_EQ(region(g.at("gt_regions"), 4), json::parse(R"({"label": 4, "area": 32, "bbox": [15, 0, 22, 3],
        "status": "split", "partners": [30, 31], "score": 100, "best": {"label": 30, "score": 50}})"));
    EXPECT_EQ(region(g.at("result_regions"), 20), json::parse(R"({"label": 20, "area": 32, "bbox": [5, 0, 13, 3],
        "status": "merged", "partners": [2, 3], "score": 100, "best": {"label": 2, "score": 50}})"));
    EXPECT_EQ(region(g.at("gt_regions"), 5).at("status"), "missed");
    EXPECT_EQ(region(g.at("result_regions"), 40), json::parse(R"({"label": 40, "area": 16, "bbox": [20, 10, 23, 13],
        "status": "false_alarm", "partners": [], "score": null, "best": null})"));

    const json& h = pages[1];
    EXPECT_EQ(h.at("evaluated"), false);
    EXPECT_FALSE(h.contains("N"));
    EXPECT_FALSE(h.contains("one2one_pairs"));
    EXPECT_EQ(h.at("messages"),
              json::array({"h.tif: no ground-truth map gt/lines/h.tif.dat and no result map results/lines/h.tif.dat"}));

    const json& i = pages[2];
    EXPECT_EQ(i.at("evaluated"), false);
    EXPECT_EQ(i.at("messages"),
              json::array({"Problem with file i.tif.dat (ground truth, lines): 3,196 bytes, 3,200 expected"}));

    // Undefined rates are null, not -1.
    const json& j = pages[3];
    EXPECT_EQ(j.at("evaluated"), true);
    EXPECT_EQ(j.at("N"), 0);
    EXPECT_EQ(j.at("M"), 1);
    EXPECT_TRUE(j.at("DR").is_null());
    EXPECT_EQ(j.at("RA"), 0.0);
    EXPECT_TRUE(j.at("FM").is_null());
    EXPECT_EQ(j.at("unmatched_gt"), json::array());
    EXPECT_EQ(j.at("unmatched_result"), json::array({77}));

    const json& totals = doc.at("totals");
    EXPECT_EQ(totals.at("pages_evaluated"), 2);
    EXPECT_EQ(totals.at("N"), 6);
    EXPECT_EQ(totals.at("M"), 9);
    EXPECT_EQ(totals.at("one2one"), 1);
    EXPECT_EQ(totals.at("g_many2one"), 5);
    EXPECT_DOUBLE_EQ(totals.at("DR").get<double>(), 100.0 / 6);
    EXPECT_DOUBLE_EQ(totals.at("RA").get<double>(), 100.0 / 9);
}

TEST(EvalToolJson, SinglePageWritesOnePageAndNoTotals) {
    TestWorkspace ws;
    ws.writeExample();
    TempDir out;
    const fs::path file = out.path() / "page.json";
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--page", "page02.tif", "--json", file.string()});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const json doc = json::parse(readBytes(file));
    ASSERT_EQ(doc.at("pages").size(), 1u);
    EXPECT_EQ(doc.at("pages")[0].at("name"), "page02.tif");
    EXPECT_EQ(doc.at("pages")[0].at("one2one"), 18);
    EXPECT_EQ(doc.at("pages")[0].at("one2one_pairs").size(), 18u);
    EXPECT_FALSE(doc.contains("totals"));
}

// ---------------------------------------------------------------- parallel pages

// Eight synthetic pages, three of them faulty in different ways.
class SyntheticWorkspace : public TestWorkspace {
public:
    SyntheticWorkspace() {
        for (int p = 1; p <= 8; ++p) {
            char name[16];
            std::snprintf(name, sizeof name, "page%02d.tif", p);
            synth::PageLayout shape;
            shape.width = 300;
            shape.height = 400;
            shape.lines = 6;
            shape.wordsPerLine = 4;
            shape.seed = static_cast<std::uint64_t>(p);
            shape.errorRate = 0.4;
            const synth::SyntheticPage page = synth::makePage(shape);
            writeImage(name, PageSize{shape.width, shape.height});
            writeMaps(name, "lines", page.gtLines, page.rsLines);
            writeMaps(name, "words", page.gtWords, page.rsWords);
        }
        cutOneLabel(map("gt", "lines", "page03.tif"));
        cutOneLabel(map("results", "words", "page07.tif"));
        fs::remove(map("results", "lines", "page05.tif"));
        writeBytes(image("page06.tif"), "not an image");
    }
};

// The same batch through the engine, serially, as the window would run it.
std::pair<std::string, std::string> engineBatch(const TestWorkspace& ws, Level level, const fs::path& report) {
    RunSettings s;
    s.level = level;
    const std::vector<std::string> names = listPages(ws.path() / "images");
    BatchHooks hooks;
    hooks.pageCount = [&] { return names.size(); };
    hooks.selectPage = [&](std::size_t i) { return names[i]; };
    hooks.level = [&] { return level; };
    hooks.batchTicked = [] { return true; };
    std::string messages;
    const std::optional<BatchResult> r = runBatch(Workspace(ws.path()), s, report, imaging::readImageSize, hooks,
                                                  [&](const std::string& m) { messages += m + "\n"; });
    if (!r) throw std::runtime_error("the engine refused the batch");
    const Counts& c = r->sums;
    std::string out = "N: " + std::to_string(c.N) + "\nM: " + std::to_string(c.M) +
                      "\none2one: " + std::to_string(c.one2one) + "\ng_one2many: " + std::to_string(c.g_one2many) +
                      "\ng_many2one: " + std::to_string(c.g_many2one) +
                      "\nd_one2many: " + std::to_string(c.d_one2many) +
                      "\nd_many2one: " + std::to_string(c.d_many2one) + "\nDetection Rate: " + batchRateTexts(r->rates).dr +
                      "\nRecognition Accuracy: " + batchRateTexts(r->rates).ra + "\nFM    : " + batchRateTexts(r->rates).fm +
                      "\nIm.: " + std::to_string(r->evaluatedPages) + "\n";
    return {out, messages};
}

TEST(EvalToolJobs, ParallelRunsEqualTheSerialBatch) {
    SyntheticWorkspace ws;
    TempDir scratch;
    Tool tool;
    const std::pair<const char*, Level> levels[] = {{"lines", Level::Lines}, {"words", Level::Words}};
    for (const auto& [levelArg, level] : levels) {
        SCOPED_TRACE(levelArg);
        const fs::path engineReport = scratch.path() / (std::string(levelArg) + "-engine.txt");
        const auto [engineOut, engineErr] = engineBatch(ws, level, engineReport);
        // Both levels have their faulty pages; the rest is evaluated.
        EXPECT_EQ(engineErr, std::string(level == Level::Lines ? "Problem with file page03.tif.dat\n"
                                                               : "") +
                                 "Cannot read the page image page06.tif; the page was not evaluated\n" +
                                 (level == Level::Words ? "Problem with file page07.tif.dat\n" : ""));
        EXPECT_NE(engineOut.find(level == Level::Lines ? "Im.: 5\n" : "Im.: 6\n"), std::string::npos) << engineOut;

        std::string firstJson, firstErr;
        for (const char* jobs : {"1", "2", "3", "16"}) {
            SCOPED_TRACE(jobs);
            const fs::path jsonFile = scratch.path() / (std::string(levelArg) + "-" + jobs + ".json");
            const Outcome o = tool.run({ws.arg(), "--level", levelArg, "--jobs", jobs, "--json", jsonFile.string()});
            EXPECT_EQ(o.exitCode, 0);
            EXPECT_EQ(o.out, engineOut);
            if (firstErr.empty()) firstErr = o.err;
            EXPECT_EQ(o.err, firstErr);
            EXPECT_EQ(readBytes(ws.report()), readBytes(engineReport));
            const std::string jsonText = readBytes(jsonFile);
            if (firstJson.empty()) firstJson = jsonText;
            EXPECT_EQ(jsonText, firstJson);
        }
        EXPECT_EQ(json::parse(firstJson).at("pages").size(), 8u);
        // The window's texts start the tool's lines, in page order.
        std::size_t at = 0;
        for (std::size_t end; (end = engineErr.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = engineErr.substr(at, end - at);
            EXPECT_NE(("\n" + firstErr).find("\n" + line), std::string::npos) << line;
        }
    }
}

// ---------------------------------------------------------------- arguments

// Address space for the stacks of two threads and no more: the others
// cannot start, and their pages are evaluated by the ones that did.
TEST(EvalToolJobs, ThreadsThatCannotStartLeaveTheirPagesToTheOthers) {
    TempDir dir;
    synth::PageLayout layout;
    layout.width = 60;
    layout.height = 40;
    layout.lines = 2;
    layout.wordsPerLine = 2;
    synth::writeWorkspace(dir.path(), 40, layout);
    const fs::path serial = dir.path() / "serial.txt", limited = dir.path() / "limited.txt";
    Tool tool;
    ASSERT_EQ(tool.run({dir.path().string(), "--jobs", "1", "--report", serial.string()}).exitCode, 0);
    const Outcome o = tool.runLimited("ulimit -s 1000000 && ulimit -v 3000000",
                                      {dir.path().string(), "--jobs", "40", "--report", limited.string()});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("Im.: 40"), std::string::npos) << o.out;
    EXPECT_EQ(readBytes(limited), readBytes(serial));
}

// TIFF sizes are read without Qt; other formats load Qt's side on the main
// thread when a worker first needs it.
TEST(EvalToolImages, PagesInEveryFormatAreEvaluatedWithAnyNumberOfJobs) {
    TestWorkspace ws;
    for (const char* name : {"a.png", "b.tif", "c.bmp", "d.tif"}) writeGroups(ws, name);
    for (const auto& [name, format] : {std::pair{"a.png", "png"}, std::pair{"c.bmp", "bmp"}}) {
        QImage picture(kPage.width, kPage.height, QImage::Format_Grayscale8);
        picture.fill(255);
        ASSERT_TRUE(picture.save(QString::fromStdString(ws.image(name).string()), format));
    }
    Tool tool;
    for (const char* jobs : {"1", "2"}) {
        const Outcome o = tool.run({ws.arg(), "--jobs", jobs});
        ASSERT_EQ(o.exitCode, 0) << o.err;
        EXPECT_NE(o.out.find("Im.: 4"), std::string::npos) << "jobs " << jobs << ": " << o.out << o.err;
    }
}

TEST(EvalToolErrorImages, OnePictureAPageEvaluatedInTheViewersColours) {
    TestWorkspace ws;
    writeGroups(ws, "g.tif");
    ws.writeImage("h.tif", kPage);  // no label maps: no picture
    TempDir out;
    const fs::path folder = out.path() / "new" / "errors";
    Tool tool;
    for (const char* jobs : {"1", "2"}) {
        const Outcome o = tool.run({ws.arg(), "--error-images", folder.string(), "--jobs", jobs});
        ASSERT_EQ(o.exitCode, 0) << o.err;
        EXPECT_FALSE(fs::exists(folder / "h.tif.lines.errors.png"));
        const QImage picture(QString::fromStdString((folder / "g.tif.lines.errors.png").string()));
        // The page, then below it a strip with its caption and legend.
        ASSERT_GE(picture.width(), kPage.width);
        ASSERT_GT(picture.height(), kPage.height);
        int text = 0;
        for (int y = kPage.height; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x) text += qGray(picture.pixel(x, y)) < 96;
        EXPECT_GT(text, 300);
        // The page has no ink, so every region shows as its status's tint on paper.
        auto shows = [&](int x, int y, RegionStatus status) {
            return picture.pixel(x, y) == picture.color(3 + 2 * static_cast<int>(status));
        };
        EXPECT_TRUE(shows(0, 0, RegionStatus::One2One));
        EXPECT_TRUE(shows(16, 1, RegionStatus::Split));
        EXPECT_TRUE(shows(6, 1, RegionStatus::Merged));
        EXPECT_TRUE(shows(1, 6, RegionStatus::Missed));
        EXPECT_TRUE(shows(21, 11, RegionStatus::FalseAlarm));
        EXPECT_EQ(picture.pixel(30, 18), qRgb(255, 255, 255));
        fs::remove_all(folder);
    }
    // A page named on its own gets its picture too; a folder that cannot be made is refused.
    EXPECT_EQ(tool.run({ws.arg(), "--page", "g.tif", "--level", "lines", "--error-images", folder.string()}).exitCode, 0);
    EXPECT_TRUE(fs::exists(folder / "g.tif.lines.errors.png"));
    writeBytes(out.path() / "file", "");
    const Outcome refused = tool.run({ws.arg(), "--error-images", (out.path() / "file" / "sub").string()});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("--error-images"), std::string::npos) << refused.err;
}

TEST(EvalToolArguments, BadArgumentsExitTwoWithAMessage) {
    TestWorkspace ws;
    ws.writeExample();
    TempDir bare;  // no images folder
    const std::string missing = (ws.path() / "no such workspace").string();
    struct Case {
        std::vector<std::string> args;
        const char* err;  // exact text, or nullptr when any message will do
    };
    const Case cases[] = {
        {{ws.arg(), "--level", "bogus"}, nullptr},
        {{missing}, nullptr},
        {{bare.path().string()}, nullptr},
        {{}, nullptr},
        {{ws.arg(), "--unknown"}, nullptr},
        {{ws.arg(), "--jobs", "0"}, "corvanel-eval: --jobs must be a whole number from 1 to 256 (it is '0')\n"},
        {{ws.arg(), "--jobs", "two"}, "corvanel-eval: --jobs must be a whole number from 1 to 256 (it is 'two')\n"},
        {{ws.arg(), "--jobs", "257"}, "corvanel-eval: --jobs must be a whole number from 1 to 256 (it is '257')\n"},
        {{ws.arg(), "--level", "Sentences"}, "corvanel-eval: --level must be lines or words (it is 'Sentences')\n"},
        {{ws.arg(), "--weights", "100,0"}, "corvanel-eval: --weights takes three numbers separated by commas, none "
                                           "negative, such as 100,0,0 (it is '100,0')\n"},
        {{ws.arg(), "--weights", "100,0,0,0"}, nullptr},
        {{ws.arg(), "--weights", "100.5,0,0"}, nullptr},
        {{ws.arg(), "--weights", "100,abc,0"}, nullptr},
        {{ws.arg(), "--weights", "100,-1,0"}, nullptr},
        {{ws.arg(), "--threshold", "0"},
         "corvanel-eval: --threshold must be a whole number from 1 to 100 (it is '0')\n"},
        {{ws.arg(), "--threshold", "-3", "--page", "page01.tif"}, nullptr},
        {{ws.arg(), "--threshold", "150"}, nullptr},
        {{ws.arg(), "--threshold", "90.5"}, "corvanel-eval: --threshold must be a whole number from 1 to 100 (it is '90.5')\n"},
        {{ws.arg(), "--threshold", "abc"}, nullptr},
        {{ws.arg(), "--sweep", "50:40:5"}, "corvanel-eval: --sweep takes FROM:TO:STEP, whole numbers with 1 <= FROM <= TO "
                                           "<= 100 and STEP >= 1 (it is '50:40:5')\n"},
        {{ws.arg(), "--sweep", "50:100"}, nullptr},
        {{ws.arg(), "--plot", "p.svg"}, "corvanel-eval: --plot needs --sweep\n"},
        {{ws.arg(), "--markdown", "m.md"}, "corvanel-eval: --markdown goes with rank\n"},
        {{"rank", ws.arg(), ws.path().string(), "--page", "page01.tif"}, "corvanel-eval: --page does not go with rank\n"},
        {{"rank", ws.arg(), (ws.path() / "images").string()}, nullptr},  // no participant there
    };
    Tool tool;
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args) trace += a + " ";
        SCOPED_TRACE(trace);
        const Outcome o = tool.run(c.args);
        EXPECT_EQ(o.exitCode, 2);
        EXPECT_EQ(o.out, "");
        if (c.err)
            EXPECT_EQ(o.err, c.err);
        else
            EXPECT_NE(o.err, "");
        // Nothing was evaluated, so no report either.
        EXPECT_FALSE(fs::exists(ws.report()));
    }
    EXPECT_EQ(tool.run({missing}).err, "corvanel-eval: no workspace folder at " + missing + "\n");
    EXPECT_EQ(tool.run({bare.path().string()}).err,
              "corvanel-eval: no images folder in " + bare.path().string() + "\n");
}

// A page image that cannot be read is a page not evaluated: named, counted,
// in the report, and a failure with --strict.
TEST(EvalToolBatch, PagesThatCannotBeReadAreReportedNotDropped) {
    TestWorkspace ws;
    ws.writeExample();
    fs::create_symlink("nowhere.tif", ws.image("page04.tif"));
    ASSERT_EQ(::mkfifo(ws.image("page05.tif").c_str(), 0600), 0);
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--strict"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, kExampleErr +
                         "Cannot read the page image page04.tif; the page was not evaluated\n"
                         "Cannot read the page image page05.tif; the page was not evaluated\n"
                         "2 of 5 pages evaluated (lines)\n");
    EXPECT_EQ(readBytes(ws.report()), kExampleReport + "page04.tif\t\r\npage05.tif\t\r\n");
}

// A result where every pixel is a region of its own is valid input. Short of
// memory, with the JSON written, a run ends as documented, never aborted.
TEST(EvalToolMemory, RunningShortEndsAsDocumented) {
    TestWorkspace ws;
    constexpr PageSize size{200, 200};
    ws.writeImage("p.tif", size);
    LabelMap every(size.width, size.height);
    std::iota(every.data(), every.data() + every.pixelCount(), 1);
    ws.writeMaps("p.tif", "lines", every, every);
    TempDir out;
    Tool tool;
    for (const char* kib : {"50000", "80000", "120000"}) {
        SCOPED_TRACE(kib);
        const Outcome o = tool.runLimited(std::string("ulimit -v ") + kib,
                                          {ws.arg(), "--jobs", "1", "--json", (out.path() / "all.json").string()});
        if (o.exitCode == 255)
            EXPECT_EQ(o.err, "Memory Allocation Problem!\n");
        else
            EXPECT_EQ(o.exitCode, 0) << o.err;
    }
}

// ---------------------------------------------------------------- outputs

TEST(EvalToolOutputs, ANameAsLongAsNamesMayBeIsWritten) {
    TestWorkspace ws;
    ws.writeExample();
    TempDir out;
    const fs::path csv = out.path() / (std::string(251, 'x') + ".csv");  // 255 bytes
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--csv", csv.string()});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_TRUE(fs::is_regular_file(csv));
}

TEST(EvalToolOutputs, ALinkWhoseTargetIsNotThereYetStaysALink) {
    TestWorkspace ws;
    ws.writeExample();
    TempDir out;
    const fs::path link = out.path() / "latest.json", target = out.path() / "run-1.json";
    fs::create_symlink("run-1.json", link);
    Tool tool;
    const Outcome o = tool.run({ws.arg(), "--json", link.string()});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(readBytes(target).find("\"totals\""), std::string::npos);
}

TEST(EvalToolOutputs, AnOutputThatIsOneOfTheInputsIsRefused) {
    TestWorkspace ws;
    ws.writeExample();
    const fs::path map = ws.map("gt", "lines", "page02.tif");
    const std::string before = readBytes(map);
    Tool tool;
    for (const std::vector<std::string>& args : {std::vector<std::string>{ws.arg(), "--report", map.string()},
                                                 {ws.arg(), "--csv", ws.image("page01.tif").string()},
                                                 {"rank", ws.arg(), ws.path().string(), "--json", map.string()}}) {
        const Outcome o = tool.run(args);
        EXPECT_EQ(o.exitCode, 2);
        EXPECT_NE(o.err.find("is one of the run's inputs; nothing was written"), std::string::npos) << o.err;
    }
    EXPECT_EQ(readBytes(map), before);
    EXPECT_FALSE(fs::exists(ws.report()));
}

TEST(EvalToolArguments, HelpExitsZero) {
    Tool tool;
    const Outcome o = tool.run({"--help"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    for (const char* option : {"WORKSPACE", "--level", "--threshold", "--header", "--page", "--weights", "--jobs",
                               "--json", "--report"})
        EXPECT_NE(o.out.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace corvanel
