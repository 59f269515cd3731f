// The About window: its layout, the splash at start and the modal showing.

#include "tests/app/app_fixture.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace corvanel::app {
namespace {

QPoint screenCentred(const QWidget& window) {
    QRect frame(QPoint(), window.size());
    frame.moveCenter(QGuiApplication::primaryScreen()->geometry().center());
    return frame.topLeft();
}

TEST_F(MainWindowTest, TheAboutWindowIsAFixedToolWindowWithTitleCreditsAndLogo) {
    open({}, false);
    TForm5& about = *form->Form5;
    EXPECT_TRUE(about.isHidden());
    EXPECT_EQ(about.size(), QSize(607, 402));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_TRUE(about.windowTitle().isEmpty());
    EXPECT_EQ(about.windowType(), Qt::Tool);
    EXPECT_TRUE(about.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    about.show();
    EXPECT_EQ(about.Label1->text().split('\n'), QStringList({"", "Corvanel", " Viewer - Evaluator v.2"}));
    EXPECT_EQ(about.Label1->geometry(), QRect(0, 0, 607, 121));
    EXPECT_EQ(about.Label1->palette().color(QPalette::Window), QColor(166, 202, 240));
    EXPECT_EQ(about.Label3->y(), 121);
    // The logo fills the rest, shown at its own size in the middle.
    EXPECT_EQ(about.Image1->geometry().bottom(), 401);
    EXPECT_EQ(about.Image1->pixmap().size(), QSize(189, 89));
    EXPECT_FALSE(about.Image1->hasScaledContents());
    EXPECT_EQ(about.Image1->alignment(), Qt::AlignCenter);
}

TEST_F(MainWindowTest, TheSplashShowsTheAboutWindowCentredForThreeSecondsBeforeTheWindowRuns) {
    bool visible = false, modal = true;
    QPoint at;
    int listRuns = 0;
    duringSleep = [&] {
        listRuns = form->fileListChangeRuns();
        visible = form->Form5->isVisible();
        modal = QApplication::activeModalWidget() != nullptr;
        at = form->Form5->pos();
    };
    open({});
    EXPECT_EQ(sleeps, std::vector<int>({3000}));
    EXPECT_EQ(listRuns, 1) << "the list is filled before the splash";
    EXPECT_TRUE(visible);
    EXPECT_FALSE(modal);
    EXPECT_EQ(at, screenCentred(*form->Form5));
    EXPECT_TRUE(form->Form5->isHidden());
    EXPECT_EQ(form->ImagXpress7_1->scrollBars(), 3);
    EXPECT_FALSE(form->LabeledEdit14->text().isEmpty());
}

TEST_F(MainWindowTest, AboutOpensModallyWhereTheWindowWasLastLeft) {
    open({});
    TForm5& about = *form->Form5;
    int pressedMeanwhile = 0;
    QObject::connect(form->Button1, &QPushButton::pressed, [&] { ++pressedMeanwhile; });
    // Through the window, as the window system delivers a click, so that
    // modality applies.
    const auto pressAbout = [&] {
        QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {},
                          form->Button1->mapTo(form.get(), form->Button1->rect().center()));
    };
    std::vector<QPoint> openedAt;
    const auto whileOpen = [&](QPoint moveTo) {
        QTimer::singleShot(0, [&, moveTo] {
            EXPECT_EQ(QApplication::activeModalWidget(), &about);
            openedAt.push_back(about.pos());
            pressAbout();
            about.move(moveTo);
            about.close();
        });
    };
    whileOpen({40, 50});
    pressAbout();
    EXPECT_TRUE(about.isHidden());
    whileOpen({40, 50});
    pressAbout();

    ASSERT_EQ(openedAt.size(), 2u);
    EXPECT_EQ(openedAt[0], screenCentred(about)) << "where the splash was";
    EXPECT_EQ(openedAt[1], QPoint(40, 50));
    // Only the two presses that opened it got through.
    EXPECT_EQ(pressedMeanwhile, 2);
}

}  // namespace
}  // namespace corvanel::app
