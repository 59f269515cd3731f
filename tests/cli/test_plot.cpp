// Threshold-curve plots: the files writePlot makes, and what it says when it cannot.

#include "cli/plot.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

#include <QApplication>
#include <QImage>
#include <QXmlStreamReader>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <iterator>
#include <string>
#include <vector>

namespace corvanel::cli {
namespace {

namespace fs = std::filesystem;
using corvanel::testing::readBytes;
using corvanel::testing::TempDir;

std::vector<Curve> twoCurves() {
    Curve a{"baseline", "words", {}}, b{"other", "lines", {}};
    for (int t = 50; t <= 100; t += 10) {
        a.points.push_back({t, 90.0 - t / 2.0, 80.0, 85.0});
        b.points.push_back({t, 40.0, 30.0 + t / 4.0, 35.0});
    }
    return {a, b};
}

// By bytes: Qt's file names would lose a path that is not UTF-8.
QImage loadImage(const fs::path& file) { return QImage::fromData(QByteArray::fromStdString(readBytes(file)), "PNG"); }

// Pixels near `colour` in x [x0, x1), y [y0, y1).
int countNear(const QImage& image, QRgb colour, int x0, int x1, int y0, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const QRgb p = image.pixel(x, y);
            n += std::abs(qRed(p) - qRed(colour)) < 40 && std::abs(qGreen(p) - qGreen(colour)) < 40 &&
                 std::abs(qBlue(p) - qBlue(colour)) < 40;
        }
    return n;
}

TEST(Plot, SvgIsWellFormedAndShowsCurvesAndAxes) {
    TempDir dir;
    const fs::path file = dir.path() / "curves.Svg";
    // The application made for the call sets the C locale from the environment; it must not stay.
    std::setlocale(LC_ALL, "C");
    const char* given = std::getenv("LC_ALL");
    const std::optional<std::string> saved = given ? std::optional<std::string>(given) : std::nullopt;
    ::setenv("LC_ALL", "C.UTF-8", 1);
    const std::string result = writePlot(file, twoCurves());
    saved ? ::setenv("LC_ALL", saved->c_str(), 1) : ::unsetenv("LC_ALL");
    ASSERT_EQ(result, "");
    EXPECT_EQ(QCoreApplication::instance(), nullptr) << "the call's own application must be gone";
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");

    QXmlStreamReader xml(QByteArray::fromStdString(readBytes(file)));
    std::vector<QString> texts;
    bool root = true;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        if (root) {
            EXPECT_EQ(xml.name(), QStringLiteral("svg"));
            root = false;
        }
        if (xml.name() == QStringLiteral("text"))
            texts.push_back(xml.readElementText(QXmlStreamReader::IncludeChildElements).simplified());
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    const auto shown = [&](const char* text) { return std::count(texts.begin(), texts.end(), QString(text)); };
    for (const char* legend : {"baseline, words", "other, lines"}) EXPECT_EQ(shown(legend), 3) << legend;
    EXPECT_EQ(shown("Threshold (%)"), 3);
    for (const char* axis : {"FM (%)", "DR (%)", "RA (%)"}) EXPECT_EQ(shown(axis), 1) << axis;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "no temporary left";
}

TEST(Plot, PngHasThePictureSizeAndEachCurveInItsColour) {
    TempDir dir;
    const fs::path file = dir.path() / "curves-\xE9.PNG";  // not UTF-8: the bytes name the file
    ASSERT_EQ(writePlot(file, twoCurves()), "");
    ASSERT_EQ(writePlot(file, twoCurves()), "") << "a second call in one process";
    const QImage image = loadImage(file);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(kPlotWidth, kPlotMinHeight));
    // Every chart (a third of the height) shows both curves.
    for (int chart = 0; chart < 3; ++chart) {
        const int top = chart * kPlotMinHeight / 3, bottom = (chart + 1) * kPlotMinHeight / 3;
        EXPECT_GT(countNear(image, 0x0072B2, 0, kPlotWidth, top, bottom), 100) << chart;
        EXPECT_GT(countNear(image, 0xE69F00, 0, kPlotWidth, top, bottom), 100) << chart;
    }
}

TEST(Plot, UndefinedPointIsAGapNotAZero) {
    TempDir dir;
    Curve curve{"", "lines", {}};
    for (int t = 10; t <= 90; t += 10) {
        const std::optional<double> rate = t == 50 ? std::nullopt : std::optional<double>(100.0);
        curve.points.push_back({t, rate, rate, rate});
    }
    curve.points.front().FM.reset();  // undefined at the start too
    const fs::path file = dir.path() / "gap.png";
    ASSERT_EQ(writePlot(file, {curve}), "");
    const QImage image = loadImage(file);
    ASSERT_FALSE(image.isNull());
    const int h = kPlotMinHeight / 3;
    // The line runs along the top of the plot area; a zero would drop it to the bottom
    // half, left of the legend.
    EXPECT_GT(countNear(image, 0x0072B2, 100, 600, 0, h / 2), 200);
    EXPECT_EQ(countNear(image, 0x0072B2, 100, 600, h / 2, h - 20), 0);
}

TEST(Plot, RefusesOtherFormatsAndWritesNothing) {
    TempDir dir;
    for (const char* name : {"curves.pdf", "curves", "curves.svg.txt"}) {
        const fs::path file = dir.path() / name;
        EXPECT_EQ(writePlot(file, twoCurves()), "The plot file must end in .svg or .png: " + file.string());
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Plot, SaysWhyTheFolderCannotTakeIt) {
    TempDir dir;
    const fs::path file = dir.path() / "missing" / "curves.svg";
    EXPECT_EQ(writePlot(file, twoCurves()), "Cannot write the plot " + file.string() + ": No such file or directory");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Plot, UsesTheProgramsOwnApplication) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string locale = std::setlocale(LC_ALL, nullptr);  // QApplication changes it; later tests need it
    {
        int argc = 1;
        char name[] = "corvanel_batch_tests";
        char* argv[] = {name, nullptr};
        QApplication app(argc, argv);
        TempDir dir;
        ASSERT_EQ(writePlot(dir.path() / "curves.svg", twoCurves()), "");
        EXPECT_EQ(QCoreApplication::instance(), &app);
        EXPECT_GT(fs::file_size(dir.path() / "curves.svg"), 1000u);
    }
    std::setlocale(LC_ALL, locale.c_str());
}

}  // namespace
}  // namespace corvanel::cli
