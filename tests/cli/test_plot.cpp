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

// Where chart 0, 1 or 2 begins: they fill the picture's foot.
int chartTop(const QImage& image, int chart) { return image.height() - (3 - chart) * kPlotChartHeight; }

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

// What the tests read of an SVG plot: every text, and per chart its rate
// axis's tick values and its paths in order.
struct SvgPath {
    QString cls, d, stroke, dash, fill;
};
struct SvgChart {
    std::vector<double> rateTicks;
    std::vector<SvgPath> paths;
    std::vector<SvgPath> curves() const {
        std::vector<SvgPath> out;
        std::copy_if(paths.begin(), paths.end(), std::back_inserter(out),
                     [](const SvgPath& p) { return p.cls == "curve"; });
        return out;
    }
};
struct SvgPlot {
    std::vector<QString> texts;
    QString title;
    std::vector<SvgChart> charts;
};

SvgPlot readSvgPlot(const std::string& bytes) {
    SvgPlot plot;
    QXmlStreamReader xml(QByteArray::fromStdString(bytes));
    int inTicks = 0;  // depth inside a rate-ticks group
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement && inTicks > 0 && xml.name() == QStringLiteral("g")) --inTicks;
        if (token != QXmlStreamReader::StartElement) continue;
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == QStringLiteral("g") && a.value("class") == QStringLiteral("rate-ticks")) {
            plot.charts.emplace_back();
            inTicks = 1;
        } else if (xml.name() == QStringLiteral("path") && !plot.charts.empty()) {
            plot.charts.back().paths.push_back({a.value("class").toString(), a.value("d").toString(),
                                                a.value("stroke").toString(), a.value("stroke-dasharray").toString(),
                                                a.value("fill").toString()});
        } else if (xml.name() == QStringLiteral("title")) {
            plot.title = xml.readElementText();
        } else if (xml.name() == QStringLiteral("text")) {
            const QString text = xml.readElementText().simplified();
            plot.texts.push_back(text);
            if (inTicks > 0) plot.charts.back().rateTicks.push_back(text.toDouble());
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return plot;
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
    for (const char* legend : {"baseline, words", "other, lines"}) EXPECT_EQ(shown(legend), 1) << legend;
    EXPECT_EQ(shown("FM, DR and RA against the threshold"), 1) << "the heading when there is no caption";
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
    EXPECT_EQ(image.width(), kPlotWidth);
    ASSERT_GT(image.height(), 3 * kPlotChartHeight);
    // Every chart (the last three bands of the height) shows both curves.
    for (int chart = 0; chart < 3; ++chart) {
        const int top = chartTop(image, chart), bottom = top + kPlotChartHeight;
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
    const int top = chartTop(image, 0), h = kPlotChartHeight;
    // The line runs along the top of the plot area; a zero would stretch the
    // axis down to 0 and drop it to the bottom half.
    EXPECT_GT(countNear(image, 0x0072B2, 100, 600, top, top + h / 2), 200);
    EXPECT_EQ(countNear(image, 0x0072B2, 100, 600, top + h / 2, top + h - 20), 0);
}

// Four participants at both levels, 22 thresholds, every rate between 85
// and 100: a participant's two curves share a colour, words dashed, lines
// solid; one path a curve and chart; each rate axis fitted to the data.
TEST(Plot, ParticipantsShareAColourLevelsADashAxesFitTheData) {
    std::vector<Curve> curves;
    for (const char* participant : {"alpha", "beta", "gamma", "delta"})
        for (const char* level : {"lines", "words"}) {
            Curve curve{participant, level, {}};
            for (int i = 0; i < 22; ++i) {
                const int step = (i * 7 + static_cast<int>(curves.size()) * 3) % 22;  // scattered over 85..100
                const double v = 85.0 + 15.0 * static_cast<double>(step) / 21.0;
                curve.points.push_back({37 + 3 * i, v - 0.5 * (v > 99), v, std::min(v + 0.25, 100.0)});
            }
            curves.push_back(curve);
        }
    TempDir dir;
    const fs::path file = dir.path() / "sweep.svg";
    const std::string caption = "FM, DR and RA against the threshold \u2014 ground truth: W & Co, 4 pages";
    ASSERT_EQ(writePlot(file, curves, caption), "");
    const std::string bytes = readBytes(file);
    EXPECT_LT(bytes.size(), 50'000u) << "a path a curve, not a shape a segment";
    const SvgPlot plot = readSvgPlot(bytes);
    EXPECT_EQ(plot.title, QString::fromStdString(caption));
    EXPECT_EQ(std::count(plot.texts.begin(), plot.texts.end(), QString::fromStdString(caption)), 1);

    ASSERT_EQ(plot.charts.size(), 3u);
    for (const SvgChart& chart : plot.charts) {
        const std::vector<SvgPath> paths = chart.curves();
        ASSERT_EQ(paths.size(), curves.size());
        std::vector<QString> colours;
        for (std::size_t c = 0; c < paths.size(); ++c) {
            EXPECT_EQ(paths[c].d.count('M'), 1) << c;
            EXPECT_EQ(paths[c].d.count('L'), 21) << c;
            EXPECT_EQ(paths[c].fill, "none");
            EXPECT_EQ(paths[c].dash.isEmpty(), curves[c].level == "lines") << c;
            if (c % 2 == 1) EXPECT_EQ(paths[c].stroke, paths[c - 1].stroke) << c;
            else colours.push_back(paths[c].stroke.toUpper());
        }
        std::sort(colours.begin(), colours.end());
        EXPECT_EQ(std::unique(colours.begin(), colours.end()), colours.end()) << "a colour a participant";
        EXPECT_EQ(std::count(colours.begin(), colours.end(), "#F0E442"), 0) << "no yellow on white";
        ASSERT_GE(chart.rateTicks.size(), 3u);
        const auto [lo, hi] = std::minmax_element(chart.rateTicks.begin(), chart.rateTicks.end());
        EXPECT_GE(*lo, 80.0);
        EXPECT_LE(*lo, 85.0);
        EXPECT_EQ(*hi, 100.0);
    }
}

// Past eight participants the colours come round again, told apart by markers.
TEST(Plot, PastEightParticipantsColoursRepeatWithMarkers) {
    std::vector<Curve> curves;
    for (int p = 0; p < 9; ++p) {
        Curve curve{"p" + std::to_string(p), "lines", {}};
        for (const int t : {80, 90, 100}) curve.points.push_back({t, 40.0 + p, 50.0, 60.0});
        curves.push_back(curve);
    }
    TempDir dir;
    ASSERT_EQ(writePlot(dir.path() / "many.svg", curves), "");
    const SvgPlot plot = readSvgPlot(readBytes(dir.path() / "many.svg"));
    ASSERT_EQ(plot.charts.size(), 3u);
    const std::vector<SvgPath>& paths = plot.charts[0].paths;
    std::vector<std::size_t> curveAt;
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (paths[i].cls == "curve") curveAt.push_back(i);
    ASSERT_EQ(curveAt.size(), 9u);
    EXPECT_EQ(paths[curveAt[8]].stroke, paths[curveAt[0]].stroke);
    // The ninth curve's points are marked in its colour; the first's are not.
    ASSERT_LT(curveAt[8] + 1, paths.size());
    EXPECT_EQ(paths[curveAt[8] + 1].fill, paths[curveAt[8]].stroke);
    EXPECT_EQ(paths[curveAt[0] + 1].cls, "curve");
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
