// The batch run through the engine: page list, hooks around each page, the
// report bytes and the pooled totals, on workspaces written here.

#include "run/runner.h"
#include "imaging/imagesize.h"
#include "tools/synth.h"

#include <gtest/gtest.h>

#include "tests/cli/example_workspace.h"
#include "tests/support/map_builder.h"
#include "tests/support/test_support.h"


#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace corvanel {
namespace {

namespace fs = std::filesystem;
using namespace corvanel::testing;  // temporary folders, map builder, the worked example

Counts counts(std::int64_t N, std::int64_t M, std::int64_t one2one) {
    Counts c;
    c.N = N;
    c.M = M;
    c.one2one = one2one;
    return c;
}

// What the window would do around the pages: a list of names, the level and
// "Batch" as the test sets them, and a record of every page seen.
struct FakeWindow {
    std::vector<std::string> list;
    Level level = Level::Lines;
    bool batchTicked = true;
    std::vector<std::string> messages;
    std::vector<std::pair<std::string, std::int64_t>> seen;  // page name, "Im." after it
    std::function<void(std::size_t pageIndex)> between;      // user input between pages

    BatchHooks hooks() {
        BatchHooks h;
        h.pageCount = [this] { return list.size(); };
        h.selectPage = [this](std::size_t i) { return list.at(i); };
        h.level = [this] { return level; };
        h.batchTicked = [this] { return batchTicked; };
        h.afterPage = [this](const PageOutcome& page, std::int64_t evaluated) {
            seen.emplace_back(page.name, evaluated);
            if (between) between(seen.size() - 1);
        };
        return h;
    }
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& text) { messages.push_back(text); };
    }
};

class BatchRun : public ::testing::Test {
protected:
    RunSettings settings() const { return {}; }
    Workspace workspace() const { return Workspace(ws_.path()); }
    fs::path report() const { return workspace().reportPath(); }

    std::optional<BatchResult> run(FakeWindow& window, const RunSettings& s) {
        return runBatch(workspace(), s, report(), imaging::readImageSize, window.hooks(), window.sink());
    }
    std::optional<BatchResult> runListed(FakeWindow& window) {
        window.list = listPages(ws_.path() / "images");
        return run(window, settings());
    }

    TestWorkspace ws_;
};

// ---------------------------------------------------------------- page list

TEST(ListPages, SortsCaseInsensitivelyWithTiesInByteOrder) {
    TempDir dir;
    const fs::path images = dir.path() / "images";
    for (const char* name : {"b.tif", "a.tif", "A.TIF", "a.TIF", "A.tif", "ab.tif", "Page2.tif", "page10.tif",
                             "noext", "B.png", ".hidden.tif", ".git"})
        writeBytes(images / name, "x");
    fs::create_directories(images / "sub.tif");
    fs::create_directories(images / "A");
    writeBytes(images / "sub.tif" / "inner.tif", "x");
    // Pages that cannot be read are pages all the same; a link to a folder is a folder.
    fs::create_symlink("gone.tif", images / "dangling.tif");
    fs::create_symlink("self.tif", images / "self.tif");
    ASSERT_EQ(::mkfifo((images / "fifo.tif").c_str(), 0600), 0);
    fs::create_directory_symlink("sub.tif", images / "linked");

    const std::vector<std::string> expected = {"A.TIF", "A.tif", "a.TIF", "a.tif", "ab.tif", "B.png", "b.tif",
                                               "dangling.tif", "fifo.tif", "noext", "page10.tif", "Page2.tif",
                                               "self.tif"};
    EXPECT_EQ(listPages(images), expected);
}

TEST(ListPages, MissingOrEmptyFolderListsNothing) {
    TempDir dir;
    EXPECT_TRUE(listPages(dir.path() / "images").empty());
    fs::create_directories(dir.path() / "images");
    EXPECT_TRUE(listPages(dir.path() / "images").empty());
    writeBytes(dir.path() / "images.tif", "a file where a folder is expected");
    EXPECT_TRUE(listPages(dir.path() / "images.tif").empty());
}

// ---------------------------------------------------------------- processors

TEST(Processors, AQuotaGrantsWholeProcessorsRoundedUp) {
    EXPECT_EQ(processorsOfQuota(200000, 100000), 2u);
    EXPECT_EQ(processorsOfQuota(150000, 100000), 2u);
    EXPECT_EQ(processorsOfQuota(5000, 100000), 1u);
    EXPECT_EQ(processorsOfQuota(-1, 100000), std::nullopt);  // no quota
    EXPECT_EQ(processorsOfQuota(100000, 0), std::nullopt);
    EXPECT_GE(usableProcessors(), 1u);
    EXPECT_LE(usableProcessors(), std::max(1u, std::thread::hardware_concurrency()));
}

// ---------------------------------------------------------------- the example

TEST_F(BatchRun, ExampleGivesThePageLinesAndPooledTotals) {
    ws_.writeExample();
    FakeWindow window;
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    EXPECT_EQ(readBytes(report()), kExampleReport);
    EXPECT_EQ(result->sums, counts(38, 39, 37));
    EXPECT_EQ(result->evaluatedPages, 2);
    // Pooled from the sums, not averaged over the pages (97.50 / 95.24 / 96.34).
    EXPECT_EQ(batchRateTexts(result->rates).dr, "97.36%");
    EXPECT_EQ(batchRateTexts(result->rates).ra, "94.87%");
    EXPECT_EQ(batchRateTexts(result->rates).fm, "96.10%");
    EXPECT_FALSE(result->fatal);
    EXPECT_TRUE(window.messages.empty());
    // "Im." after each page; the page without maps leaves it as it was.
    const std::vector<std::pair<std::string, std::int64_t>> seen = {
        {"page01.tif", 1}, {"page02.tif", 2}, {"page03.tif", 2}};
    EXPECT_EQ(window.seen, seen);
}

TEST_F(BatchRun, EmptyListWritesHeaderAndEmptyLineOnly) {
    fs::create_directories(ws_.path() / "images");
    FakeWindow window;
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    EXPECT_EQ(readBytes(report()), kHeader + "\r\n");
    EXPECT_EQ(result->sums, Counts{});
    EXPECT_EQ(result->evaluatedPages, 0);
    EXPECT_EQ(batchRateTexts(result->rates).dr, "---");
    EXPECT_EQ(batchRateTexts(result->rates).ra, "---");
    EXPECT_EQ(batchRateTexts(result->rates).fm, "---");
    EXPECT_TRUE(window.seen.empty());
    EXPECT_TRUE(window.messages.empty());
}

TEST_F(BatchRun, ReportRoundsWhereTheFieldsTruncate) {
    // N = 21 with 19 matches: DR = 90.476...
    ws_.writeImage("only.tif", kPage);
    ws_.writeMaps("only.tif", "lines", MapBuilder(kPage).cells(0, 21, 1).take(),
                  MapBuilder(kPage).cells(0, 19, 40).cells(25, 1, 90).take());
    FakeWindow window;
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    EXPECT_EQ(readBytes(report()), kHeader + "\r\nonly.tif\t90.48\t95.00\t92.68\t21\t20\t19\t\r\n");
    EXPECT_EQ(result->sums, counts(21, 20, 19));
    EXPECT_EQ(batchRateTexts(result->rates).dr, "90.47%");
    EXPECT_EQ(batchRateTexts(result->rates).ra, "95.00%");
    EXPECT_EQ(batchRateTexts(result->rates).fm, "92.68%");
}

TEST_F(BatchRun, PagesWithoutRegionsAreCountedAndAddZeros) {
    // a.tif: no ground-truth region; b.tif: no result region. Nothing matches,
    // but both sums are non-zero, so the scores are 0, not undefined.
    ws_.writeImage("a.tif", kPage);
    ws_.writeMaps("a.tif", "lines", MapBuilder(kPage).take(), MapBuilder(kPage).cells(0, 2, 1).take());
    ws_.writeImage("b.tif", kPage);
    ws_.writeMaps("b.tif", "lines", MapBuilder(kPage).cells(3, 2, 1).take(), MapBuilder(kPage).take());
    FakeWindow window;
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" +
                                       "a.tif\t-1.00\t0.00\t-1.00\t0\t2\t0\t\r\n"
                                       "b.tif\t0.00\t-1.00\t-1.00\t2\t0\t0\t\r\n");
    EXPECT_EQ(result->evaluatedPages, 2);
    EXPECT_EQ(result->sums, counts(2, 2, 0));
    EXPECT_EQ(batchRateTexts(result->rates).dr, "0.00%");
    EXPECT_EQ(batchRateTexts(result->rates).ra, "0.00%");
    EXPECT_EQ(batchRateTexts(result->rates).fm, "0.00%");
}

// ---------------------------------------------------------------- between pages

TEST_F(BatchRun, UntickingBatchDropsTheRowsButKeepsCounting) {
    ws_.writeExample();
    FakeWindow window;
    window.between = [&](std::size_t page) {
        if (page == 0) window.batchTicked = false;
    };
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" + kPage01Line + "page02.tif\t\r\npage03.tif\t\r\n");
    EXPECT_EQ(result->sums, counts(38, 39, 37));
    EXPECT_EQ(result->evaluatedPages, 2);
    EXPECT_EQ(batchRateTexts(result->rates).fm, "96.10%");
}

TEST_F(BatchRun, LevelAndListAreReadAgainForEveryPage) {
    ws_.writeExample();
    // At word level page02 has 3 regions on each side, one of them matched.
    ws_.writeMaps("page02.tif", "words", MapBuilder(kPage).cells(0, 3, 1).take(),
                  MapBuilder(kPage).cells(0, 1, 9).cells(10, 2, 20).take());
    ws_.writeImage("page04.tif", kPage);
    ws_.writeMaps("page04.tif", "words", MapBuilder(kPage).cells(0, 2, 1).take(),
                  MapBuilder(kPage).cells(0, 2, 1).take());
    FakeWindow window;
    window.list = {"page01.tif", "page02.tif"};
    window.between = [&](std::size_t page) {
        if (page == 0) window.level = Level::Words;
        // The list grows while the batch runs; the batch goes on to the new end.
        if (page == 1) window.list = {"page01.tif", "page02.tif", "page04.tif"};
    };
    const std::optional<BatchResult> result = run(window, settings());
    ASSERT_TRUE(result);

    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" + kPage01Line +
                                       "page02.tif\t33.33\t33.33\t33.33\t3\t3\t1\t\r\n"
                                       "page04.tif\t100.00\t100.00\t100.00\t2\t2\t2\t\r\n");
    EXPECT_EQ(result->sums, counts(25, 26, 22));
    EXPECT_EQ(result->evaluatedPages, 3);
}

TEST_F(BatchRun, ThresholdDecidesOneToOneMatches) {
    // A result region covering 93 of a ground-truth region's 100 pixels.
    ws_.writeImage("p.tif", kPage);
    ws_.writeMaps("p.tif", "lines", MapBuilder(kPage).block(1, 0, 0, 10, 10).take(),
                  MapBuilder(kPage).block(2, 0, 0, 10, 9).block(2, 0, 9, 3, 1).take());
    for (const auto& [threshold, row] : {std::pair{90, "100.00\t100.00\t100.00\t1\t1\t1\t"},
                                         std::pair{93, "100.00\t100.00\t100.00\t1\t1\t1\t"},
                                         std::pair{94, "0.00\t0.00\t0.00\t1\t1\t0\t"}}) {
        SCOPED_TRACE(threshold);
        FakeWindow window;
        window.list = {"p.tif"};
        RunSettings s = settings();
        s.threshold = threshold;
        ASSERT_TRUE(run(window, s));
        EXPECT_EQ(readBytes(report()), kHeader + "\r\np.tif\t" + row + "\r\n");
    }
}

// ---------------------------------------------------------------- failures

TEST_F(BatchRun, UnreadablePageImageIsReportedAndSkipped) {
    ws_.writeExample();
    writeBytes(ws_.image("page02.tif"), "not an image");
    ws_.writeImage("page04.tif", kPage);
    ws_.writeMaps("page04.tif", "lines", MapBuilder(kPage).cells(0, 2, 1).take(),
                  MapBuilder(kPage).cells(0, 2, 1).take());
    FakeWindow window;
    window.list = listPages(ws_.path() / "images");
    // Gone after the list was filled.
    fs::remove(ws_.image("page03.tif"));
    const std::optional<BatchResult> result = run(window, settings());
    ASSERT_TRUE(result);

    const std::vector<std::string> messages = {
        "Cannot read the page image page02.tif; the page was not evaluated",
        "Cannot read the page image page03.tif; the page was not evaluated"};
    EXPECT_EQ(window.messages, messages);
    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" + kPage01Line + "page02.tif\t\r\npage03.tif\t\r\n" +
                                       "page04.tif\t100.00\t100.00\t100.00\t2\t2\t2\t\r\n");
    EXPECT_EQ(result->sums, counts(22, 23, 21));
    EXPECT_EQ(result->evaluatedPages, 2);
    const std::vector<std::pair<std::string, std::int64_t>> seen = {
        {"page01.tif", 1}, {"page02.tif", 1}, {"page03.tif", 1}, {"page04.tif", 2}};
    EXPECT_EQ(window.seen, seen);
}

TEST_F(BatchRun, PageImageSizeDecidesHowMuchOfAMapIsRead) {
    // The image is one row taller than the maps: they are one row too short.
    ws_.writeExample();
    ws_.writeImage("page02.tif", PageSize{kPage.width, kPage.height + 1});
    FakeWindow window;
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    EXPECT_EQ(window.messages, std::vector<std::string>{"Problem with file page02.tif.dat"});
    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" + kPage01Line + "page02.tif\t\r\npage03.tif\t\r\n");
    EXPECT_EQ(result->evaluatedPages, 1);
}

TEST_F(BatchRun, ShortLabelMapsAreReportedInPageOrder) {
    ws_.writeExample();
    const auto cutOneLabel = [](const fs::path& path) {
        const std::string bytes = readBytes(path);
        writeBytes(path, bytes.substr(0, bytes.size() - 4));
    };
    cutOneLabel(ws_.map("gt", "lines", "page02.tif"));
    ws_.writeMaps("page03.tif", "lines", MapBuilder(kPage).cells(0, 2, 1).take(),
                  MapBuilder(kPage).cells(0, 2, 1).take());
    cutOneLabel(ws_.map("results", "lines", "page03.tif"));
    FakeWindow window;
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    const std::vector<std::string> messages = {"Problem with file page02.tif.dat",
                                               "Problem with file page03.tif.dat"};
    EXPECT_EQ(window.messages, messages);
    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" + kPage01Line + "page02.tif\t\r\npage03.tif\t\r\n");
    EXPECT_EQ(result->sums, counts(20, 21, 19));
    EXPECT_EQ(result->evaluatedPages, 1);
}

// The window evaluates each page where it waits for it; a page the user
// stops ends the batch, and the report keeps the pages done.
TEST_F(BatchRun, APageStoppedByTheUserEndsTheBatchWithThePagesDone) {
    ws_.writeExample();
    FakeWindow window;
    window.list = listPages(ws_.path() / "images");
    BatchHooks hooks = window.hooks();
    int asked = 0;
    hooks.evaluate = [&](const Workspace& w, const RunSettings& s, const std::string& name,
                         PageSize size) -> std::optional<PageOutcome> {
        if (++asked == 2) return std::nullopt;
        return evaluatePage(w, s, name, size);
    };
    const std::optional<BatchResult> result =
        runBatch(workspace(), settings(), report(), imaging::readImageSize, hooks, window.sink());
    ASSERT_TRUE(result);
    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" + kPage01Line);
    EXPECT_EQ(result->sums, counts(20, 21, 19));
    EXPECT_EQ(result->evaluatedPages, 1);
    EXPECT_EQ(window.seen.size(), 1u);
}

TEST_F(BatchRun, ReportThatCannotBeCreatedStillGivesTotals) {
    ws_.writeExample();
    fs::create_directories(report());
    FakeWindow window;
    const std::optional<BatchResult> result = runListed(window);
    ASSERT_TRUE(result);

    EXPECT_EQ(window.messages, std::vector<std::string>{"Cannot create the report " + report().string()});
    EXPECT_TRUE(fs::is_directory(report()));
    EXPECT_EQ(result->sums, counts(38, 39, 37));
    EXPECT_EQ(result->evaluatedPages, 2);
    EXPECT_EQ(batchRateTexts(result->rates).fm, "96.10%");
    EXPECT_EQ(window.seen.size(), 3u);
}

TEST_F(BatchRun, ReportThatCannotBeWrittenIsReportedOnce) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    ws_.writeExample();
    FakeWindow window;
    window.list = listPages(ws_.path() / "images");
    const std::optional<BatchResult> result =
        runBatch(workspace(), settings(), "/dev/full", imaging::readImageSize, window.hooks(), window.sink());
    ASSERT_TRUE(result);

    EXPECT_EQ(window.messages, std::vector<std::string>{"Cannot write the report /dev/full"});
    EXPECT_EQ(result->sums, counts(38, 39, 37));
    EXPECT_EQ(batchRateTexts(result->rates).dr, "97.36%");
}

TEST_F(BatchRun, SecondBatchReplacesTheReport) {
    ws_.writeExample();
    writeBytes(report(), std::string(4096, 'x'));
    FakeWindow first;
    ASSERT_TRUE(runListed(first));
    EXPECT_EQ(readBytes(report()), kExampleReport);

    fs::remove(ws_.image("page01.tif"));
    FakeWindow second;
    const std::optional<BatchResult> result = runListed(second);
    ASSERT_TRUE(result);
    EXPECT_EQ(readBytes(report()), kHeader + "\r\n" + kPage02Line + "page03.tif\t\r\n");
    EXPECT_EQ(result->sums, counts(18, 18, 18));
    EXPECT_EQ(batchRateTexts(result->rates).dr, "100.0%");
}

TEST_F(BatchRun, UnusableSettingsRefuseTheRunAndLeaveTheReport) {
    ws_.writeExample();
    const std::string old = "an old report\r\n";
    struct Case {
        std::int32_t threshold;
        WeightTexts weights;
        const char* message;
    };
    const Case cases[] = {
        {0, {}, "MC_thres(%) must be at least 1 (it is 0); nothing was evaluated"},
        {-5, {}, "MC_thres(%) must be at least 1 (it is -5); nothing was evaluated"},
        {90, {"1.5", "0", "0"}, "'1.5' is not a valid integer value"},
        {90, {"100", "x", "0"}, "'x' is not a valid floating point value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        writeBytes(report(), old);
        // The window's fields are read before anything runs.
        const auto fields = settingsFromFields(Level::Lines, false, c.threshold, c.weights);
        ASSERT_TRUE(std::holds_alternative<Failure>(fields));
        EXPECT_EQ(boxText(std::get<Failure>(fields)), c.message);
        // A threshold that gets past them anyway is refused by the batch.
        FakeWindow window;
        window.list = listPages(ws_.path() / "images");
        bool asked = false;
        BatchHooks hooks = window.hooks();
        hooks.pageCount = [&] {
            asked = true;
            return window.list.size();
        };
        RunSettings s = settings();
        s.threshold = c.threshold;
        const auto result = runBatch(workspace(), s, report(), imaging::readImageSize, hooks, window.sink());
        if (c.threshold < 1) {
            EXPECT_EQ(result, std::nullopt);
            EXPECT_EQ(window.messages, std::vector<std::string>{c.message});
            EXPECT_FALSE(asked);
            EXPECT_EQ(readBytes(report()), old);
        }
    }
}

// ---------------------------------------------------------------- single page

TEST_F(BatchRun, SinglePageRunWritesNoRowAndNoReport) {
    ws_.writeExample();
    const std::string old = "an old report\r\n";
    writeBytes(report(), old);
    const PageOutcome e = evaluatePage(workspace(), settings(), "page01.tif", kPage);
    EXPECT_TRUE(e.evaluated);
    EXPECT_EQ(e.evaluation.counts, counts(20, 21, 19));
    EXPECT_EQ(pageRateTexts(e.evaluation.rates).dr, "95.00%");
    EXPECT_EQ(pageRateTexts(e.evaluation.rates).ra, "90.47%");
    EXPECT_EQ(pageRateTexts(e.evaluation.rates).fm, "92.68%");
    EXPECT_EQ(readBytes(report()), old);

    const PageOutcome missing = evaluatePage(workspace(), settings(), "page03.tif", kPage);
    EXPECT_FALSE(missing.evaluated);
    EXPECT_TRUE(boxTexts(missing.failures).empty());
}

}  // namespace
}  // namespace corvanel
