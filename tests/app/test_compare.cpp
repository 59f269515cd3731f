// "Compare with...": the ground-truth regions that the participant shown and
// another one do not both match one to one, counted, painted, and gone with
// the page.

#include "app/DiagnosisPanel.h"
#include "imaging/errorview.h"
#include "tests/app/app_fixture.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTextDocument>

namespace corvanel::app {
namespace {

namespace fs = std::filesystem;

constexpr PageSize kPage{40, 20};

// Ground truth 1 to 4 on two pages. results/ matches 1, 2 and 4 one to one;
// "rival" covers half of 1, matches 2 and 3, and misses 4.
class CompareTest : public WorkspaceTest {
protected:
    void SetUp() override {
        const LabelMap gt = blocks(kPage, {{1, 0, 0, 10, 4}, {2, 12, 0, 10, 4}, {3, 0, 10, 10, 4}, {4, 12, 10, 10, 4}});
        const LabelMap mine = blocks(kPage, {{7, 0, 0, 10, 4}, {8, 12, 0, 10, 4}, {9, 12, 10, 10, 4}});
        const LabelMap rival = blocks(kPage, {{5, 0, 0, 10, 2}, {8, 12, 0, 10, 4}, {6, 0, 10, 10, 4}});
        for (const char* page : {"page01.tif", "page02.tif"}) {
            writePage(page, gt);
            writeMap("gt", "lines", page, gt);
            writeMap("results", "lines", page, mine);
            synth::writeLabelMap(dir.path() / "participants" / "rival" / "lines" / (std::string(page) + ".dat"), rival);
        }
        open({});
        select(0);
        panel = form->Diagnosis;
    }

    // The menu's entries, as the user sees them when it opens.
    QStringList menu() {
        emit form->CompareMenu->aboutToShow();
        QStringList texts;
        for (QAction* a : form->CompareMenu->actions()) texts << (a->isSeparator() ? "-" : a->text());
        return texts;
    }
    void choose(const QString& entry) {
        emit form->CompareMenu->aboutToShow();
        for (QAction* a : form->CompareMenu->actions())
            if (a->text() == entry) return a->trigger();
        ADD_FAILURE() << "no entry " << entry.toStdString();
    }
    std::string comparisonText() const {
        QTextDocument doc;
        doc.setHtml(panel->comparison->text());
        return doc.toPlainText().toStdString();
    }

    DiagnosisPanel* panel = nullptr;
};

TEST_F(CompareTest, CountsAndPaintsWhatOnlyOneOfTheTwoMatchesOneToOne) {
    ASSERT_EQ(form->ParticipantBox->currentText(), "results");
    EXPECT_TRUE(form->CompareButton->isEnabled());
    EXPECT_EQ(menu(), QStringList{"rival"});  // never the participant shown
    EXPECT_FALSE(panel->comparison->isVisibleTo(panel));
    choose("rival");
    ASSERT_TRUE(panel->comparing());
    EXPECT_TRUE(panel->comparison->isVisibleTo(panel));
    panel->wait();
    ASSERT_NE(panel->difference(), nullptr) << panel->comparisonProblem().toStdString();
    EXPECT_EQ(panel->difference()->firstOnly, (std::vector<std::int32_t>{1, 4}));
    EXPECT_EQ(panel->difference()->secondOnly, (std::vector<std::int32_t>{3}));
    EXPECT_EQ(comparisonText(), "Regions matched one to one by one side only:\n"
                                "\u25A0 results only: 2     \u25A0 rival only: 1");
    EXPECT_EQ(panel->caption->text(), QStringLiteral("page01.tif, lines, threshold 90"));

    // The display shows the comparison: each side's own regions in its
    // colour, a region both match as faded ink, paper white.
    EXPECT_TRUE(form->ImagXpress7_1->showsViewInstead());
    const QImage& view = panel->comparisonView();
    ASSERT_EQ(view.size(), QSize(kPage.width, kPage.height));
    EXPECT_EQ(view.pixel(1, 1), imaging::comparisonColour(true));    // 1: results only
    EXPECT_EQ(view.pixel(13, 11), imaging::comparisonColour(true));  // 4: results only
    EXPECT_EQ(view.pixel(1, 11), imaging::comparisonColour(false));  // 3: rival only
    EXPECT_EQ(view.pixel(13, 1), qRgb(185, 185, 185));              // 2: both
    EXPECT_EQ(view.pixel(30, 5), qRgb(255, 255, 255));
    // Neither the legend nor any field of the window took part.
    EXPECT_EQ(panel->diagnosis(), nullptr);
    for (LabeledEdit* field : {form->LabeledEdit1, form->LabeledEdit2, form->LabeledEdit4, form->LabeledEdit6})
        EXPECT_TRUE(field->text().isEmpty()) << field->objectName().toStdString();

    // Under the cursor: what each made of the region there.
    panel->hoverAt({1, 11});
    EXPECT_EQ(panel->underCursor->text().toStdString(),
              "Under the cursor, x 1 y 11:\nGround truth 3: 40 px\nresults: missed\nrival: one2one");

    // At another threshold the half-covered region matches too, and
    // "Show errors" shows its legend beside the comparison, which keeps the display.
    form->LabeledEdit13->setText(QStringLiteral("40"));
    panel->showErrors->setChecked(true);
    panel->wait();
    ASSERT_NE(panel->difference(), nullptr);
    EXPECT_EQ(panel->difference()->firstOnly, (std::vector<std::int32_t>{4}));
    ASSERT_NE(panel->diagnosis(), nullptr);
    EXPECT_EQ(panel->comparisonView().pixel(1, 1), qRgb(185, 185, 185));
    EXPECT_TRUE(form->ImagXpress7_1->showsViewInstead());
}

TEST_F(CompareTest, GoesAwayWithThePageAndWhenStopped) {
    choose("rival");
    panel->wait();
    ASSERT_NE(panel->difference(), nullptr);
    EXPECT_EQ(menu(), (QStringList{"rival", "-", "Stop comparing"}));
    select(1);  // another page
    EXPECT_FALSE(panel->comparing());
    EXPECT_EQ(panel->difference(), nullptr);
    EXPECT_FALSE(panel->comparison->isVisibleTo(panel));
    EXPECT_TRUE(panel->caption->text().isEmpty());
    EXPECT_FALSE(form->ImagXpress7_1->showsViewInstead());
    EXPECT_EQ(menu(), QStringList{"rival"});

    // Stopped, with "Show errors" on, the error view is back.
    choose("rival");
    panel->showErrors->setChecked(true);
    panel->wait();
    ASSERT_NE(panel->difference(), nullptr);
    choose("Stop comparing");
    EXPECT_FALSE(panel->comparing());
    EXPECT_TRUE(panel->comparisonView().isNull());
    panel->wait();
    ASSERT_NE(panel->diagnosis(), nullptr);
    EXPECT_TRUE(form->ImagXpress7_1->showsViewInstead());

    // So does another level.
    choose("rival");
    form->RadioButton2->setChecked(true);
    EXPECT_FALSE(panel->comparing());
    form->RadioButton1->setChecked(true);

    // Choosing the rival as the participant shown ends a comparison too.
    choose("rival");
    form->ParticipantBox->setCurrentText("rival");
    EXPECT_FALSE(panel->comparing());
    EXPECT_EQ(menu(), QStringList{"results"});
}

}  // namespace
}  // namespace corvanel::app
