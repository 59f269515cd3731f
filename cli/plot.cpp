#include "cli/plot.h"

#include "run/files.h"

#include <QApplication>
#include <QBuffer>
#include <QChart>
#include <QGraphicsScene>
#include <QImage>
#include <QImageWriter>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QSvgGenerator>
#include <QValueAxis>

#include <algorithm>
#include <array>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <memory>
#include <string_view>

namespace corvanel::cli {
namespace {

namespace fs = std::filesystem;

// Okabe-Ito: tells the curves apart for colour-blind readers too.
constexpr std::array<QRgb, 8> kPalette = {0x0072B2, 0xE69F00, 0x009E73, 0xCC79A7,
                                          0xD55E00, 0x56B4E9, 0xF0E442, 0x000000};
constexpr std::array<Qt::PenStyle, 5> kStyles = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine,
                                                  Qt::DashDotDotLine};

struct Rate {
    const char* title;
    const char* axis;
    std::optional<double> CurvePoint::*value;
};
constexpr std::array<Rate, 3> kRates = {Rate{"F-measure (FM)", "FM (%)", &CurvePoint::FM},
                                        Rate{"Detection rate (DR)", "DR (%)", &CurvePoint::DR},
                                        Rate{"Recognition accuracy (RA)", "RA (%)", &CurvePoint::RA}};

QtMessageHandler previousHandler = nullptr;

// Qt's notes on its own set-up ("XDG_RUNTIME_DIR not set") are not the tool's
// to print; what goes wrong with the plot comes back as the result.
void onlySeriousMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtCriticalMsg && type != QtFatalMsg) return;
    if (previousHandler != nullptr) previousHandler(type, context, message);
    else std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Qt Charts draws through QGraphicsWidget, which needs a QApplication. A
// program without an application object gets one for the call, offscreen
// unless the environment names a platform.
class ApplicationScope {
public:
    ApplicationScope() {
        if (QCoreApplication::instance() != nullptr) return;
        // QCoreApplication calls setlocale(LC_ALL, ""); the caller's printf must not change.
        const char* locale = std::setlocale(LC_ALL, nullptr);
        savedLocale_ = locale != nullptr ? locale : "C";
        args_ = {"corvanel-eval"};
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) args_.insert(args_.end(), {"-platform", "offscreen"});
        for (std::string& arg : args_) argv_.push_back(arg.data());
        argv_.push_back(nullptr);
        argc_ = static_cast<int>(args_.size());
        previousHandler = qInstallMessageHandler(onlySeriousMessages);
        app_ = std::make_unique<QApplication>(argc_, argv_.data());
    }
    ~ApplicationScope() {
        if (!app_) return;
        app_.reset();
        qInstallMessageHandler(previousHandler);
        std::setlocale(LC_ALL, savedLocale_.c_str());
    }
    ApplicationScope(const ApplicationScope&) = delete;
    ApplicationScope& operator=(const ApplicationScope&) = delete;

    static bool usable() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

private:
    std::string savedLocale_;
    std::vector<std::string> args_;  // QApplication keeps argc and argv for its lifetime
    std::vector<char*> argv_;
    int argc_ = 0;
    std::unique_ptr<QApplication> app_;
};

QFont pixelFont(int pixels, bool bold = false) {
    // Pixel sizes: the layout and every output device agree whatever their resolution.
    QFont font;
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QString curveName(const Curve& curve) {
    QStringList parts;
    if (!curve.participant.empty()) parts << QString::fromStdString(curve.participant);
    if (!curve.level.empty()) parts << QString::fromStdString(curve.level);
    return parts.join(", ");
}

QPen curvePen(std::size_t index) {
    QPen pen(QColor(kPalette[index % kPalette.size()]), 2);
    pen.setStyle(kStyles[(index / kPalette.size()) % kStyles.size()]);
    return pen;
}

// A tick step that leaves at most ten intervals over `span` thresholds.
double thresholdStep(int span) {
    for (const int step : {1, 2, 5, 10, 20}) {
        if (span <= 10 * step) return step;
    }
    return 25;
}

QValueAxis* thresholdAxis(const std::vector<Curve>& curves) {
    int lo = 100, hi = 0;
    for (const Curve& curve : curves) {
        for (const CurvePoint& p : curve.points) {
            lo = std::min(lo, p.threshold);
            hi = std::max(hi, p.threshold);
        }
    }
    if (lo > hi) lo = 0, hi = 100;  // nothing to draw: show the whole scale
    if (lo == hi) --lo, ++hi;       // one threshold: a point needs some room
    auto* axis = new QValueAxis;
    axis->setRange(lo, hi);
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0);
    axis->setTickInterval(thresholdStep(hi - lo));
    axis->setLabelFormat("%d");
    axis->setTitleText("Threshold (%)");
    return axis;
}

QValueAxis* rateAxis(const Rate& rate) {
    auto* axis = new QValueAxis;
    axis->setRange(0, 100);
    axis->setTickCount(6);
    axis->setMinorTickCount(1);
    axis->setLabelFormat("%d");
    axis->setTitleText(rate.axis);
    return axis;
}

// One chart per rate. A curve is a run of line series split where the rate is
// undefined, so gaps stay gaps; only its first series is in the legend.
QChart* rateChart(const Rate& rate, const std::vector<Curve>& curves) {
    auto* chart = new QChart;
    chart->setTitle(rate.title);
    chart->setTitleFont(pixelFont(15, true));
    chart->setBackgroundRoundness(0);
    chart->setMargins(QMargins(6, 6, 6, 6));
    QLegend* legend = chart->legend();
    legend->setAlignment(Qt::AlignRight);
    legend->setFont(pixelFont(12));
    legend->setMarkerShape(QLegend::MarkerShapeFromSeries);

    QValueAxis* x = thresholdAxis(curves);
    QValueAxis* y = rateAxis(rate);
    for (QValueAxis* axis : {x, y}) {
        axis->setLabelsFont(pixelFont(12));
        axis->setTitleFont(pixelFont(13));
    }
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);

    for (std::size_t c = 0; c < curves.size(); ++c) {
        const QPen pen = curvePen(c);
        const auto addSeries = [&](bool inLegend) {
            auto* series = new QLineSeries;
            series->setPen(pen);
            series->setName(curveName(curves[c]));
            chart->addSeries(series);
            series->attachAxis(x);
            series->attachAxis(y);
            if (!inLegend) {
                for (QLegendMarker* marker : legend->markers(series)) marker->setVisible(false);
            }
            return series;
        };
        std::vector<QLineSeries*> runs = {addSeries(true)};
        bool open = false;
        for (const CurvePoint& p : curves[c].points) {
            const std::optional<double>& v = p.*rate.value;
            if (!v) {
                open = false;
                continue;
            }
            if (!open && runs.back()->count() > 0) runs.push_back(addSeries(false));
            open = true;
            runs.back()->append(p.threshold, std::clamp(*v, 0.0, 100.0));
        }
        // A defined point between two undefined ones has no line: mark it.
        for (QLineSeries* run : runs) {
            if (run->count() == 1) {
                run->setPointsVisible(true);
                run->setMarkerSize(6);
            }
        }
    }
    return chart;
}

int pictureHeight(std::size_t curves) {
    // Each chart's legend lists every curve, about 22 px apiece.
    const int perChart = 90 + 22 * static_cast<int>(std::min<std::size_t>(curves, 10000));
    return std::max(kPlotMinHeight, 3 * perChart);
}

bool endsWithNoCase(const std::string& name, const std::string& suffix) {
    if (name.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

std::string writePlot(const fs::path& file, const std::vector<Curve>& curves) {
    const std::string name = file.filename().string();
    const bool svg = endsWithNoCase(name, ".svg");
    if (!svg && !endsWithNoCase(name, ".png")) return "The plot file must end in .svg or .png: " + file.string();
    const auto failed = [&](const QString& why) { return "Cannot write the plot " + file.string() + ": " + why.toStdString(); };

    ApplicationScope application;
    if (!ApplicationScope::usable())
        return failed("charts need a QApplication, and this program made another kind of application object");

    const int width = kPlotWidth;
    const int height = pictureHeight(curves.size());
    QGraphicsScene scene(0, 0, width, height);
    for (std::size_t i = 0; i < kRates.size(); ++i) {
        QChart* chart = rateChart(kRates[i], curves);
        scene.addItem(chart);  // the scene owns it
        const int top = static_cast<int>(i) * height / 3, bottom = static_cast<int>(i + 1) * height / 3;
        chart->setGeometry(0, top, width, bottom - top);
    }

    // Drawn in memory, then written by bytes: Qt's file names cannot hold a
    // path that is not UTF-8.
    QBuffer bytes;
    bytes.open(QIODevice::WriteOnly);
    if (svg) {
        QSvgGenerator generator;
        generator.setOutputDevice(&bytes);
        generator.setSize(QSize(width, height));
        generator.setViewBox(QRect(0, 0, width, height));
        generator.setResolution(96);  // CSS pixels: the picture opens at its pixel size
        generator.setTitle("Threshold curves");
        QPainter painter;
        if (!painter.begin(&generator)) return failed("the SVG writer did not start");
        painter.fillRect(QRect(0, 0, width, height), Qt::white);
        scene.render(&painter, QRectF(0, 0, width, height), scene.sceneRect());
        painter.end();
    } else {
        QImage image(width, height, QImage::Format_RGB32);
        if (image.isNull()) return failed("not enough memory");
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        scene.render(&painter, QRectF(0, 0, width, height), scene.sceneRect());
        painter.end();
        QImageWriter writer(&bytes, "png");
        if (!writer.write(image)) return failed(writer.errorString());
    }
    const QByteArray& data = bytes.data();
    if (const auto why = writeWholeFile(file, std::string_view(data.constData(), static_cast<std::size_t>(data.size()))))
        return failed(QString::fromStdString(*why));
    return {};
}

}  // namespace corvanel::cli
