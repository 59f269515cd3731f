// The file list: what it lists, and when its handler runs.

#include "tests/app/app_fixture.h"

#include <QListWidget>
#include <QRegularExpression>
#include <QTest>

namespace corvanel::app {
namespace {

QStringList entries(const QListWidget& list) {
    QStringList names;
    for (int i = 0; i < list.count(); ++i) names << list.item(i)->text();
    return names;
}

TEST_F(MainWindowTest, ListsTheOrdinaryFilesOfImagesAndRunsTheHandlerOnceWithNothingSelected) {
    open({"b.tif", "A.png", "noext", ".hidden", "sub/", "c.dat"});
    EXPECT_EQ(entries(*form->FileListBox1), QStringList({"A.png", "b.tif", "c.dat", "noext"}));
    EXPECT_EQ(form->listedFolder(), dir.path() / "images");
    EXPECT_EQ(form->fileListChangeRuns(), 1);
    EXPECT_TRUE(form->FileListBox1->selectedItems().isEmpty());
    EXPECT_EQ(form->rememberedEntry(), -1);
    EXPECT_EQ(form->currentPagePath(), form->workspace() / "images" / "");
    EXPECT_TRUE(QRegularExpression("^\\[\\d+MB\\] - \\d+KB$").match(form->LabeledEdit14->text()).hasMatch())
        << form->LabeledEdit14->text().toStdString();
}

TEST_F(MainWindowTest, AMissingImagesFolderListsNothingAndStillRunsTheHandlerOnce) {
    openWithoutImagesFolder();
    EXPECT_EQ(form->FileListBox1->count(), 0);
    EXPECT_EQ(form->fileListChangeRuns(), 1);
    EXPECT_FALSE(form->LabeledEdit14->text().isEmpty());
}

TEST_F(MainWindowTest, TheHandlerRunsOnlyForAnEntryOtherThanTheRemembered) {
    open({"p0.tif", "p1.tif", "p2.tif", "p3.tif"});
    QListWidget& list = *form->FileListBox1;
    const auto click = [&](int row) {
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(list.item(row)).center());
    };
    int runs = form->fileListChangeRuns();

    click(1);
    EXPECT_EQ(form->fileListChangeRuns(), ++runs);
    // The name comes from the list, the folder from the workspace, not the current directory.
    EXPECT_EQ(form->currentPagePath(), form->workspace() / "images" / "p1.tif");
    click(1);
    EXPECT_EQ(form->fileListChangeRuns(), runs) << "the remembered entry again";

    QTest::keyClick(&list, Qt::Key_Down);
    EXPECT_EQ(form->rememberedEntry(), 2);
    EXPECT_EQ(form->fileListChangeRuns(), ++runs);

    // A batch moves the selection from code: nothing runs, the remembered entry stays.
    form->selectFromCode(0);
    EXPECT_EQ(list.currentRow(), 0);
    EXPECT_EQ(form->selectedPageName(), "p0.tif");
    EXPECT_EQ(form->fileListChangeRuns(), runs);
    EXPECT_EQ(form->rememberedEntry(), 2);
    EXPECT_EQ(form->currentPagePath(), form->workspace() / "images" / "p2.tif");

    // Clicking the entry the batch left selected runs, since the user chose another...
    click(0);
    EXPECT_EQ(form->fileListChangeRuns(), ++runs);
    EXPECT_EQ(form->currentPagePath(), form->workspace() / "images" / "p0.tif");
    // ...but going back to the entry the user chose last runs nothing.
    form->selectFromCode(3);
    click(0);
    EXPECT_EQ(form->fileListChangeRuns(), runs);
    EXPECT_EQ(form->selectedPageName(), "p0.tif");
}

}  // namespace
}  // namespace corvanel::app
