// The error box of the message loop, and the memory indicator's text.

#include "app/Application.h"
#include "app/MemoryStatus.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include <stdexcept>
#include <utility>
#include <vector>

namespace corvanel::app {
namespace {

TEST(ErrorBox, AppendsAFullStopOnlyAfterACharacterThatSortsAfterIt) {
    const std::pair<QString, QString> cases[] = {
        {"", ""},
        {"Cannot open page", "Cannot open page."},
        {"Done.", "Done."},
        {"Stop!", "Stop!"},          // '!' sorts before '.'
        {"(none)", "(none)"},        // so does ')'
        {"trailing ", "trailing "},  // and a blank
        {"images/", "images/."},     // '/' sorts right after '.'
        {"page 3", "page 3."},
        {QString::fromUtf8("déjà vu é"), QString::fromUtf8("déjà vu é.")},
    };
    for (const auto& [message, text] : cases) EXPECT_EQ(errorBoxText(message), text) << message.toStdString();
}

TEST(ErrorBox, CaptionIsTheExecutableNameCutAtItsFirstFullStop) {
    EXPECT_EQ(applicationTitle("/usr/bin/corvanel"), "corvanel");
    EXPECT_EQ(applicationTitle("/opt/my.apps/corvanel.v2.bin"), "corvanel");
    EXPECT_EQ(applicationTitle("C:/Corvanel/Corvanel.exe"), "Corvanel");
}

class Throwing : public QWidget {
protected:
    void mousePressEvent(QMouseEvent*) override { throw std::runtime_error("Cannot open page"); }
};

TEST(ErrorBox, WhatEscapesAHandlerIsShownAndTheLoopGoesOn) {
    Application& app = *Application::instance();
    std::vector<std::pair<QString, QString>> shown;
    app.errorBox = [&](const QString& caption, const QString& text) { shown.emplace_back(caption, text); };

    Throwing widget;
    widget.resize(50, 50);
    widget.show();
    QTest::mouseClick(&widget, Qt::LeftButton);

    QPushButton button("Go");
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        if (++clicks == 1) throw 42;  // no message of its own
    });
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);

    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], std::make_pair(QString("corvanel_app_tests"), QString("Cannot open page.")));
    EXPECT_EQ(shown[1].second, QString());
    EXPECT_EQ(clicks, 2);
}

TEST(MemoryIndicator, FormatsMegabytesAndKilobytesRoundedDown) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {1610612736, "[1536MB] - 1572864KB"}, {0, "[0MB] - 0KB"},
        {1023, "[0MB] - 0KB"},                {1048575, "[0MB] - 1023KB"},
        {1048576, "[1MB] - 1024KB"},          {4294967295, "[4095MB] - 4194303KB"},
        {68719476736, "[65536MB] - 67108864KB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(memoryIndicatorText(bytes), text) << bytes;
}

TEST(MemoryIndicator, ReadsMemAvailableInSixtyFourBits) {
    EXPECT_EQ(memAvailableBytes("MemTotal:       16384000 kB\nMemFree:  1 kB\nMemAvailable:   8388608 kB\n"),
              8589934592u);
    EXPECT_EQ(memAvailableBytes("XMemAvailable: 5 kB\nMemAvailable:\t7 kB\n"), 7168u);
    EXPECT_EQ(memAvailableBytes("MemTotal: 100 kB\n"), 0u);
    EXPECT_GT(availablePhysicalMemory(), 0u);
}

}  // namespace
}  // namespace corvanel::app
