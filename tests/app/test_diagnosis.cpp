// The diagnosis panel on a small page: the legend, the problem list, the
// line under the cursor, the error view, and what it leaves alone; and the
// workspace argument.

#include "app/Application.h"
#include "app/DiagnosisPanel.h"
#include "tests/app/app_fixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QTableView>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <array>
#include <sstream>

namespace corvanel::app {
namespace {

constexpr PageSize kPage{40, 20};

// ground truth 1 matched by result 7; 2 (40 px) covered 80% by result 8;
// 3 split over results 9 and 10; result 11 covers nothing.
class DiagnosisTest : public WorkspaceTest {
protected:
    void SetUp() override {
        const LabelMap gt = blocks(kPage, {{1, 0, 0, 10, 4}, {2, 12, 0, 10, 4}, {3, 0, 10, 20, 4}});
        writePage("page01.tif", gt);
        writeMap("gt", "lines", "page01.tif", gt);
        writeMap("results", "lines", "page01.tif",
                 blocks(kPage, {{7, 0, 0, 10, 4}, {8, 12, 0, 8, 4}, {9, 0, 10, 10, 4}, {10, 10, 10, 10, 4}, {11, 30, 16, 4, 4}}));
        open({});
        select(0);
        panel = form->Diagnosis;
    }

    // Ground-truth and result counts of each status, "-" where a side has none.
    std::string legend() const {
        std::ostringstream out;
        for (int row = 0; row < panel->legend->rowCount(); ++row)
            out << panel->legend->item(row, 0)->text().toStdString() << " "
                << panel->legend->item(row, 1)->text().toStdString() << "/"
                << panel->legend->item(row, 2)->text().toStdString() << "; ";
        return out.str();
    }
    std::vector<std::string> problems() const {
        std::vector<std::string> texts;
        const QAbstractItemModel* rows = panel->problems->model();
        for (int i = 0; i < rows->rowCount(); ++i) texts.push_back(rows->index(i, 0).data().toString().toStdString());
        return texts;
    }

    DiagnosisPanel* panel = nullptr;
};

TEST_F(DiagnosisTest, ShowsEachRegionsFateWithoutTouchingTheWindowsState) {
    EXPECT_EQ(panel->diagnosis(), nullptr);  // nothing is evaluated until asked for
    const QImage overlay = form->ImagXpress7_1->image();
    panel->showErrors->setChecked(true);
    EXPECT_TRUE(panel->working());
    panel->wait();
    ASSERT_NE(panel->diagnosis(), nullptr) << panel->problem().toStdString();
    EXPECT_EQ(panel->caption->text(), QStringLiteral("page01.tif, lines, threshold 90"));
    EXPECT_EQ(legend(), "one2one 1/1; split 1/2; merged 0/0; missed 1/; false alarm /2; ");
    EXPECT_EQ(problems(), (std::vector<std::string>{
                              "split ground truth 3, 80 px, best 50% (result 9)",
                              "missed ground truth 2, 40 px, best 80% (result 8)",
                              "split result 9, 40 px, best 50% (ground truth 3)",
                              "split result 10, 40 px, best 50% (ground truth 3)",
                              "false alarm result 8, 32 px, best 80% (ground truth 2)",
                              "false alarm result 11, 16 px, no overlap",
                          }));

    panel->hoverAt({13, 1});
    EXPECT_EQ(panel->underCursor->text(), QStringLiteral("Under the cursor, x 13 y 1:\nGround truth 2: 40 px, missed\n"
                                                         "Result 8: 32 px, false alarm\nOverlap 32 px, score 80%"));
    panel->hoverAt({21, 1});
    EXPECT_EQ(panel->underCursor->text(),
              QStringLiteral("Under the cursor, x 21 y 1:\nGround truth 2: 40 px, missed\nResult: none"));

    // The display shows the error view; the page it holds and every field stay.
    EXPECT_TRUE(form->ImagXpress7_1->showsViewInstead());
    EXPECT_EQ(form->ImagXpress7_1->image(), overlay);
    for (LabeledEdit* field : {form->LabeledEdit1, form->LabeledEdit2, form->LabeledEdit4, form->LabeledEdit6,
                               form->LabeledEdit9, form->LabeledEdit15})
        EXPECT_TRUE(field->text().isEmpty()) << field->objectName().toStdString();
    EXPECT_EQ(form->overlayBuffer(), nullptr);

    // Selecting an entry outlines its region and brings it into view.
    panel->problems->setCurrentIndex(panel->problems->model()->index(1, 0));
    EXPECT_EQ(form->ImagXpress7_1->highlight(), QRect(12, 0, 10, 4));

    // A threshold edit matches again; unticking returns to the chosen view.
    form->LabeledEdit13->setText(QStringLiteral("80"));
    panel->wait();
    EXPECT_EQ(legend(), "one2one 2/2; split 1/2; merged 0/0; missed 0/; false alarm /1; ");
    form->LabeledEdit13->setText(QStringLiteral("0"));
    EXPECT_EQ(panel->diagnosis(), nullptr);
    EXPECT_NE(panel->problem().indexOf(QStringLiteral("at least 1")), -1) << panel->problem().toStdString();
    form->LabeledEdit13->setText(QStringLiteral("90"));
    panel->showErrors->setChecked(false);
    EXPECT_FALSE(form->ImagXpress7_1->showsViewInstead());
    EXPECT_EQ(panel->diagnosis(), nullptr);
}

TEST_F(DiagnosisTest, EvaluatesBesideTheWindowAndDropsWhatWasCancelledOrOvertaken) {
    panel->showErrors->setChecked(true);
    ASSERT_TRUE(panel->working());  // the handler returned before the page was read
    EXPECT_EQ(panel->underCursor->text(), QStringLiteral("Evaluating page01.tif, lines..."));
    EXPECT_TRUE(panel->cancel->isVisibleTo(panel));
    panel->cancel->click();
    EXPECT_FALSE(panel->working());
    EXPECT_FALSE(panel->showErrors->isChecked());
    EXPECT_FALSE(panel->cancel->isVisibleTo(panel));
    // A threshold typed while the page is read: only the last one shows.
    panel->showErrors->setChecked(true);
    form->LabeledEdit13->setText(QStringLiteral("80"));
    panel->wait();
    QCoreApplication::processEvents();  // the first job's outcome, if it were delivered
    ASSERT_NE(panel->diagnosis(), nullptr);
    EXPECT_EQ(panel->diagnosis()->threshold(), 80);
    EXPECT_EQ(legend(), "one2one 2/2; split 1/2; merged 0/0; missed 0/; false alarm /1; ");
}

TEST_F(DiagnosisTest, FollowsTheLevelAndSaysWhyItHasNothingToShow) {
    panel->showErrors->setChecked(true);
    panel->wait();
    ASSERT_NE(panel->diagnosis(), nullptr);
    form->RadioButton2->setChecked(true);  // words: no maps there
    panel->wait();
    EXPECT_EQ(panel->diagnosis(), nullptr);
    EXPECT_EQ(panel->problem(), QStringLiteral("There is no ground-truth label map gt/words/page01.tif.dat.\n"
                                               "There is no result label map results/words/page01.tif.dat."));
    EXPECT_FALSE(form->ImagXpress7_1->showsViewInstead());
    EXPECT_EQ(panel->problems->model()->rowCount(), 0);
    form->RadioButton1->setChecked(true);
    panel->wait();
    EXPECT_NE(panel->diagnosis(), nullptr);
}

TEST(WorkspaceArgument, NamesTheFolderWhosePagesTheWindowLists) {
    auto parse = [](std::vector<const char*> args, std::string* err = nullptr) {
        args.insert(args.begin(), "corvanel");
        std::ostringstream out, errors;
        auto parsed = parseArguments(static_cast<int>(args.size()), args.data(), out, errors);
        if (err) *err = errors.str();
        return parsed;
    };
    testing::TempDir ws{"corvanel-arg"};
    std::filesystem::create_directories(ws.path() / "images");
    testing::writeBytes(ws.path() / "images" / "p.png", "");
    const std::string trailing = ws.path().string() + "/";
    const auto given = parse({trailing.c_str()});
    ASSERT_TRUE(std::holds_alternative<Arguments>(given));
    EXPECT_EQ(std::get<Arguments>(given).workspace, ws.path());
    EXPECT_FALSE(std::get<Arguments>(parse({})).workspace.has_value());
    std::string err;
    EXPECT_EQ(std::get<int>(parse({"/no/such/folder"}, &err)), 2);
    EXPECT_EQ(err, "corvanel: no workspace folder at /no/such/folder\n");
    EXPECT_EQ(std::get<int>(parse({trailing.c_str(), trailing.c_str()})), 2);
    EXPECT_EQ(std::get<int>(parse({"--help"})), 0);
    EXPECT_EQ(std::get<int>(parse({trailing.c_str(), "--version"})), 0);
    EXPECT_TRUE(answersWithoutWindow(2, std::array{"corvanel", "--version"}.data()));
    EXPECT_FALSE(answersWithoutWindow(2, std::array{"corvanel", trailing.c_str()}.data()));

    // Listed from the workspace, whatever the current directory; the title says which.
    TForm1 form(nullptr, ws.path(), true);
    form.sleepMs = [](int) {};
    form.show();
    EXPECT_EQ(form.listedFolder(), ws.path() / "images");
    ASSERT_EQ(form.FileListBox1->count(), 1);
    EXPECT_EQ(form.windowTitle(), TForm1::caption + QStringLiteral(" - ") + QString::fromStdString(ws.path().string()));
}

}  // namespace
}  // namespace corvanel::app
