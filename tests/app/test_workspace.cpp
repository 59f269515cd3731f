// Which workspace the window works in, and whose results it shows.

#include "tests/app/app_fixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "app/DiagnosisPanel.h"

namespace corvanel::app {
namespace {

namespace fs = std::filesystem;

constexpr PageSize kPage{20, 10};

// Started without a workspace from a program folder that holds no images/
// (an installed program in /usr/bin), the window reads and writes nothing
// there: it asks, and works in the folder chosen.
TEST(StartWithoutWorkspace, AsksForOneAndNeverUsesTheProgramsFolder) {
    testing::TempDir program{"corvanel-bin"}, chosen{"corvanel-chosen"};
    fs::create_directories(chosen.path() / "images");
    ASSERT_TRUE(synth::writeInkImage(chosen.path() / "images" / "p.tif", blocks(kPage, {{1, 0, 0, 4, 4}})));
    synth::writeLabelMap(chosen.path() / "gt" / "lines" / "p.tif.dat", blocks(kPage, {{1, 0, 0, 4, 4}}));
    synth::writeLabelMap(chosen.path() / "results" / "lines" / "p.tif.dat", blocks(kPage, {{7, 0, 0, 4, 4}}));

    TForm1 form(nullptr, {}, false, program.path());
    QStringList messages;
    int asked = 0;
    fs::path answer;  // the first time the user cancels
    form.showMessage = [&](const QString& text) { messages << text; };
    form.sleepMs = [](int) {};
    form.chooseFolder = [&] {
        ++asked;
        return answer;
    };
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(form.workspace().empty());
    EXPECT_EQ(form.FileListBox1->count(), 0);
    form.CheckBox2->setChecked(true);
    form.Button7->click();
    EXPECT_EQ(messages, QStringList{"No workspace is open: choose one with \"Open workspace...\" (Ctrl+O)."});

    answer = chosen.path();
    form.OpenWorkspaceButton->click();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(form.workspace(), chosen.path());
    EXPECT_EQ(form.windowTitle(), TForm1::caption + " - " + QString::fromStdString(chosen.path().string()));
    ASSERT_EQ(form.FileListBox1->count(), 1);
    form.Button7->click();
    EXPECT_EQ(form.LabeledEdit6->text(), "1");
    EXPECT_TRUE(fs::exists(chosen.path() / "Results.txt"));
    EXPECT_TRUE(fs::is_empty(program.path()));
}

// The participant chooser decides whose maps the overlay, the evaluation and
// the error view read; a page that participant has no map for says so.
TEST_F(WorkspaceTest, TheParticipantChosenIsTheOneShownAndScored) {
    writePage("p.tif", blocks(kPage, {{1, 0, 0, 4, 4}, {2, 10, 0, 4, 4}}));
    writeMap("gt", "lines", "p.tif", blocks(kPage, {{1, 0, 0, 4, 4}, {2, 10, 0, 4, 4}}));
    // No results/: the contest's participants only. "good" finds both
    // regions, "merger" joins them, "absent" has no map of this page.
    const auto participant = [&](const char* name, const LabelMap& map) {
        synth::writeLabelMap(dir.path() / "participants" / name / "lines" / "p.tif.dat", map);
    };
    participant("good", blocks(kPage, {{5, 0, 0, 4, 4}, {6, 10, 0, 4, 4}}));
    participant("merger", blocks(kPage, {{9, 0, 0, 4, 4}, {9, 10, 0, 4, 4}}));
    fs::create_directories(dir.path() / "participants" / "absent" / "lines");
    open({});
    ASSERT_EQ(form->ParticipantBox->count(), 3);
    EXPECT_EQ(form->ParticipantBox->itemText(0), "absent");

    select(0);
    const auto scoreWith = [&](const char* name) {
        form->ParticipantBox->setCurrentText(name);
        form->Button7->click();
        return form->LabeledEdit5->text() + " " + form->LabeledEdit6->text();  // M, one2one
    };
    EXPECT_EQ(scoreWith("good"), "2 2");
    form->RadioButton6->setChecked(true);
    EXPECT_EQ(form->LabeledEdit2->text(), "2");  // the result's regions painted
    EXPECT_EQ(scoreWith("merger"), "1 0");
    EXPECT_EQ(form->LabeledEdit2->text(), "1");

    form->ParticipantBox->setCurrentText("absent");
    EXPECT_EQ(form->Diagnosis->problem().toStdString(), "There is no result label map participants/absent/lines/p.tif.dat.");
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

}  // namespace
}  // namespace corvanel::app
