// The "Evaluation" button: batch and single-page runs, the report, the
// fields, and what the user may do between the pages of a batch.

#include "tests/app/app_fixture.h"

#include "app/Waiter.h"

#include <QCheckBox>
#include <QMetaObject>
#include <QProcess>
#include <QProgressDialog>
#include <QTimer>
#include <QPushButton>
#include <QRadioButton>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace corvanel::app {
namespace {

namespace fs = std::filesystem;
using testing::readBytes;

constexpr PageSize kPage{40, 20};

// `count` regions of 4 x 4 pixels in cells first, first + 1, ... of a grid of
// 5-pixel cells, 8 a row, labelled label, label + step, ...
struct Cells {
    int first, count, label, step = 1;
};

LabelMap grid(std::initializer_list<Cells> runs) {
    std::vector<Block> list;
    for (const Cells& r : runs)
        for (int k = 0; k < r.count; ++k) {
            const int cell = r.first + k;
            list.push_back({r.label + k * r.step, cell % 8 * 5, cell / 8 * 5, 4, 4});
        }
    return blocks(kPage, list);
}

const std::string kHeader = std::string(8, ' ') + " DR \t RA \t FM \t N \t M \to2o\r\n\r\n";
const std::string kPage01Line = "page01.tif\t95.00\t90.48\t92.68\t20\t21\t19\t\r\n";
const std::string kPage02Line = "page02.tif\t100.00\t100.00\t100.00\t18\t18\t18\t\r\n";
const std::string kExampleReport = kHeader + kPage01Line + kPage02Line + "page03.tif\t\r\n";
const QStringList kExampleFields{"38", "39", "37", "0", "0", "0", "0", "97.36%", "94.87%", "96.10%", "2"};

class EvaluationTest : public WorkspaceTest {
protected:
    // page01: N = 20, M = 21, 19 one to one; page02: N = M = 18, all one to
    // one; page03: no label maps.
    void openExample() {
        for (const char* name : {"page01.tif", "page02.tif", "page03.tif"}) writePage(name, blocks(kPage, {}));
        writeMap("gt", "lines", "page01.tif", grid({{0, 20, 1}}));
        writeMap("results", "lines", "page01.tif", grid({{0, 19, 101}, {20, 2, 500}}));
        writeMap("gt", "lines", "page02.tif", grid({{0, 18, 1}}));
        writeMap("results", "lines", "page02.tif", grid({{0, 18, 3, 7}}));
        open({});
    }

    void run(bool batch) {
        form->CheckBox2->setChecked(batch);
        form->Button7->click();
    }

    // The seven counts, the three scores and "Im.".
    QStringList fields() const {
        QStringList texts;
        for (LabeledEdit* f : {form->LabeledEdit4, form->LabeledEdit5, form->LabeledEdit6, form->LabeledEdit7,
                               form->LabeledEdit8, form->LabeledEdit11, form->LabeledEdit12, form->LabeledEdit9,
                               form->LabeledEdit10, form->LabeledEdit16, form->LabeledEdit15})
            texts << f->text();
        return texts;
    }
};

TEST_F(EvaluationTest, TheExampleWritesTheReportTheToolWritesAndASecondBatchReplacesIt) {
    openExample();
    testing::writeBytes(report(), std::string(500, 'x'));
    run(true);
    EXPECT_EQ(readBytes(report()), kExampleReport);
    EXPECT_EQ(fields(), kExampleFields);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    // The batch leaves the last page current; the display keeps showing nothing.
    EXPECT_EQ(form->selectedPageName(), "page03.tif");
    EXPECT_EQ(form->currentPagePath(), dir.path() / "images" / "page03.tif");
    EXPECT_EQ(form->pageSize(), kPage);
    EXPECT_FALSE(form->ImagXpress7_1->hasImage());
    EXPECT_FALSE(form->batchRunning());

    const fs::path toolReport = dir.path() / "tool.txt";
    QProcess tool;
    tool.start(CORVANEL_EVAL_EXE, {QString::fromStdString(dir.path().string()), "--report",
                                   QString::fromStdString(toolReport.string())});
    ASSERT_TRUE(tool.waitForFinished(60000));
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_EQ(readBytes(toolReport), readBytes(report()));

    fs::remove(mapPath("gt", "lines", "page01.tif"));
    run(true);
    EXPECT_EQ(readBytes(report()), kHeader + "page01.tif\t\r\n" + kPage02Line + "page03.tif\t\r\n");
    EXPECT_EQ(fields(),
              QStringList({"18", "18", "18", "0", "0", "0", "0", "100.0%", "100.0%", "100.0%", "1"}));
}

TEST_F(EvaluationTest, ASinglePageRunAfterABatchEvaluatesTheLastPageAndLeavesTheReport) {
    openExample();
    select(0);
    const QImage shownBefore = form->ImagXpress7_1->image();
    run(true);
    const std::string batchReport = readBytes(report());
    // Choosing again the entry chosen before the batch loads nothing.
    const int runs = form->fileListChangeRuns();
    select(0);
    EXPECT_EQ(form->fileListChangeRuns(), runs);

    writeMap("gt", "lines", "page03.tif", grid({{0, 3, 1}}));
    writeMap("results", "lines", "page03.tif", grid({{0, 3, 1}}));
    run(false);
    const QStringList page03{"3", "3", "3", "0", "0", "0", "0", "100.0%", "100.0%", "100.0%", "2"};
    EXPECT_EQ(fields(), page03);
    EXPECT_EQ(readBytes(report()), batchReport);
    EXPECT_EQ(form->ImagXpress7_1->image(), shownBefore);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();

    // Maps that cannot be read leave the numbers of the run before.
    form->RadioButton2->setChecked(true);
    run(false);
    EXPECT_EQ(fields(), page03) << "word maps missing";
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();

    writeMap("gt", "words", "page03.tif", grid({{0, 3, 1}}));
    writeMap("results", "words", "page03.tif", grid({{0, 3, 1}}));
    fs::resize_file(mapPath("gt", "words", "page03.tif"), fs::file_size(mapPath("gt", "words", "page03.tif")) - 4);
    run(false);
    EXPECT_EQ(fields(), page03) << "word map short";
    EXPECT_EQ(messages, QStringList{"Problem with file page03.tif.dat"});
}

// A TIFF whose header reads but whose pixels do not: its one strip is said
// to lie far beyond the file's end.
void breakPixels(const fs::path& tiff) {
    std::string bytes = readBytes(tiff);
    const auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    const std::size_t ifd = u32(4);
    const std::size_t entries = static_cast<unsigned char>(bytes[ifd]) | static_cast<unsigned char>(bytes[ifd + 1]) << 8;
    for (std::size_t k = 0; k < entries; ++k) {
        const std::size_t entry = ifd + 2 + 12 * k;
        if (static_cast<unsigned char>(bytes[entry]) == 17 && bytes[entry + 1] == 1) {  // StripOffsets, 273
            const std::uint32_t far = 0x7FFF0000;
            std::memcpy(bytes.data() + entry + 8, &far, 4);
        }
    }
    testing::writeBytes(tiff, bytes);
}

TEST_F(EvaluationTest, APageWhosePixelsDoNotDecodeIsScoredAtItsHeadersSizeAsTheToolScoresIt) {
    openExample();
    breakPixels(dir.path() / "images" / "page02.tif");
    select(1);
    ASSERT_FALSE(form->ImagXpress7_1->hasImage());
    messages.clear();
    run(false);
    EXPECT_EQ(fields().mid(0, 10), QStringList({"18", "18", "18", "0", "0", "0", "0", "100.0%", "100.0%", "100.0%"}));
    run(true);
    EXPECT_EQ(readBytes(report()), kExampleReport);
    EXPECT_EQ(fields(), kExampleFields);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    const fs::path toolReport = dir.path() / "tool.txt";
    QProcess tool;
    tool.start(CORVANEL_EVAL_EXE, {QString::fromStdString(dir.path().string()), "--report",
                                   QString::fromStdString(toolReport.string())});
    ASSERT_TRUE(tool.waitForFinished(60000));
    EXPECT_EQ(readBytes(toolReport), kExampleReport);
}

// Long work says so in a dialog whose "Cancel" hands the window back at once;
// short work shows nothing; what the work throws reaches the window.
TEST(Waiter, LongWorkCanBeCancelledAndRunsOnUnwatched) {
    std::atomic<bool> release{false}, ended{false};
    QWidget window;
    Waiter waiter(&window);
    bool dialogShown = false;
    QTimer::singleShot(400, &window, [&] {
        auto* dialog = window.findChild<QProgressDialog*>(QStringLiteral("WaitDialog"));
        dialogShown = dialog && dialog->isVisible() && dialog->labelText() == QStringLiteral("Working...");
        if (dialog) dialog->cancel();
    });
    EXPECT_FALSE(waiter.run(QStringLiteral("Working..."), [&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ended = true;
    }));
    EXPECT_TRUE(dialogShown);
    EXPECT_FALSE(ended);
    release = true;
    EXPECT_TRUE(waiter.run(QStringLiteral("Quick"), [] {}));
    EXPECT_EQ(window.findChild<QProgressDialog*>(), nullptr);
    EXPECT_THROW(waiter.run(QStringLiteral("Short of memory"), [] { throw std::bad_alloc(); }), std::bad_alloc);
}

TEST_F(EvaluationTest, AnEmptyListReportsTheHeaderOnlyAndKeepsIm) {
    open({});
    form->LabeledEdit15->setText("5");
    run(true);
    EXPECT_EQ(readBytes(report()), kHeader);
    EXPECT_EQ(fields(), QStringList({"0", "0", "0", "0", "0", "0", "0", "---", "---", "---", "5"}));
}

TEST_F(EvaluationTest, TheThresholdIsReadFromItsFieldAndBelowOneEvaluatesNothing) {
    // The result region holds 92 of the ground-truth region's 100 pixels:
    // a match at 90 %, none at 95 %.
    writePage("p.tif", blocks(kPage, {}));
    writeMap("gt", "lines", "p.tif", blocks(kPage, {{1, 0, 0, 10, 10}}));
    writeMap("results", "lines", "p.tif", blocks(kPage, {{1, 0, 0, 10, 9}, {1, 0, 9, 2, 1}}));
    open({});
    const struct {
        const char* text;
        QStringList messages;
        std::optional<std::string> row;
        const char* one2one;
    } cases[] = {
        {"0", {"MC_thres(%) must be at least 1 (it is 0); nothing was evaluated"}, std::nullopt, ""},
        {"90", {}, "p.tif\t100.00\t100.00\t100.00\t1\t1\t1\t\r\n", "1"},
        {"abc", {}, "p.tif\t0.00\t0.00\t0.00\t1\t1\t0\t\r\n", "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        fs::remove(report());
        messages.clear();
        form->LabeledEdit13->setText(c.text);
        run(true);
        EXPECT_EQ(messages, c.messages);
        if (c.row) {
            EXPECT_EQ(readBytes(report()), kHeader + *c.row);
        } else {
            EXPECT_FALSE(fs::exists(report()));
        }
        EXPECT_EQ(form->LabeledEdit6->text(), c.one2one);
    }
}

TEST_F(EvaluationTest, WhatHappensBetweenPagesAppliesToTheFollowingPages) {
    openExample();
    writeMap("gt", "words", "page02.tif", grid({{0, 3, 1}}));
    writeMap("results", "words", "page02.tif", grid({{0, 1, 9}, {10, 2, 20}}));
    const struct {
        const char* name;
        std::function<void()> between;
        std::string report;
        QStringList counts;  // N, M, one2one
    } cases[] = {
        {"unticking Batch", [&] { form->CheckBox2->setChecked(false); },
         kHeader + kPage01Line + "page02.tif\t\r\npage03.tif\t\r\n", {"38", "39", "37"}},
        {"switching to Words", [&] { form->RadioButton2->setChecked(true); },
         kHeader + kPage01Line + "page02.tif\t33.33\t33.33\t33.33\t3\t3\t1\t\r\npage03.tif\t\r\n", {"23", "24", "20"}},
        {"selecting a page",
         [&] {
             select(1);
             EXPECT_EQ(form->currentPagePath(), dir.path() / "images" / "page02.tif");
             EXPECT_EQ(form->LabeledEdit3->text(), "40x20");
         },
         kExampleReport, {"38", "39", "37"}},
        {"pressing Evaluation again",
         [&] {
             EXPECT_TRUE(form->batchRunning());
             form->Button7->click();
             EXPECT_EQ(form->LabeledEdit15->text(), "1");
             EXPECT_EQ(form->LabeledEdit4->text(), "20");
         },
         kExampleReport, {"38", "39", "37"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form->RadioButton1->setChecked(true);
        bool ran = false;
        // As a user's act, which reaches the window between pages only (a
        // page evaluated is waited for without the user's input): posted
        // again until the first page is counted.
        std::function<void()> act = [&] {
            if (form->LabeledEdit15->text() != QStringLiteral("1")) {
                QMetaObject::invokeMethod(form.get(), act, Qt::QueuedConnection);
                return;
            }
            ran = true;
            EXPECT_EQ(form->selectedPageName(), "page01.tif") << "runs after the first page";
            c.between();
        };
        QMetaObject::invokeMethod(form.get(), act, Qt::QueuedConnection);
        run(true);
        EXPECT_TRUE(ran);
        EXPECT_EQ(readBytes(report()), c.report);
        EXPECT_EQ(fields().mid(0, 3), c.counts);
        EXPECT_EQ(form->LabeledEdit15->text(), "2");
        EXPECT_FALSE(form->batchRunning());
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

}  // namespace
}  // namespace corvanel::app
