#include "cli/plot.h"

#include "imaging/errorview.h"
#include "run/files.h"
#include "run/writers.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>

namespace corvanel::cli {
namespace {

namespace fs = std::filesystem;

// Okabe-Ito without its yellow, too faint on white, and Paul Tol's wine for an
// eighth: told apart with any colour vision. A participant a colour, in order.
constexpr std::array<QRgb, 8> kPalette = {0x0072B2, 0xE69F00, 0x009E73, 0xCC79A7,
                                          0x56B4E9, 0xD55E00, 0x000000, 0x882255};

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

// An offscreen application: nothing is shown, so no display is needed.
// QCoreApplication calls setlocale(LC_ALL, ""); the caller's printf must not change.
std::unique_ptr<QGuiApplication> makeApplication() {
    const char* locale = std::setlocale(LC_ALL, nullptr);
    const std::string saved = locale != nullptr ? locale : "C";
    // The application keeps argc and argv for its lifetime and takes out the arguments it reads.
    static int argc;
    static char name[] = "corvanel-eval", platform[] = "-platform", offscreen[] = "offscreen";
    static char* argv[4];
    argc = 3;
    argv[0] = name, argv[1] = platform, argv[2] = offscreen, argv[3] = nullptr;
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    std::setlocale(LC_ALL, saved.c_str());
    return app;
}

bool usable() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

// A program without an application object gets one for the call.
class ApplicationScope {
public:
    ApplicationScope() {
        if (QCoreApplication::instance() != nullptr) return;
        previousHandler = qInstallMessageHandler(onlySeriousMessages);
        app_ = makeApplication();
    }
    ~ApplicationScope() {
        if (!app_) return;
        app_.reset();
        qInstallMessageHandler(previousHandler);
    }
    ApplicationScope(const ApplicationScope&) = delete;
    ApplicationScope& operator=(const ApplicationScope&) = delete;

private:
    std::unique_ptr<QGuiApplication> app_;
};

// ---- Text in SVG

// The families, best first: Liberation Sans has Arial's metrics, which the
// layout is measured with. Qt's SVG reader takes one family, not a list.
constexpr const char* kFontFamilies = "Liberation Sans, Arial, Helvetica, sans-serif";
constexpr const char* kQtFontFamily = "Liberation Sans";


double textWidth(const std::string& text, int pixels, bool bold = false) {
    return QFontMetricsF(imaging::pictureFont(pixels, bold)).horizontalAdvance(QString::fromStdString(text));
}

// A coordinate to a tenth of a pixel, whatever the C locale.
std::string num(double v) {
    std::array<char, 32> buf{};
    const double rounded = std::round(v * 10) / 10;
    const auto end = std::to_chars(buf.data(), buf.data() + buf.size(), rounded == 0 ? 0.0 : rounded,
                                   std::chars_format::fixed, 1)
                         .ptr;
    std::string s(buf.data(), end);
    if (s.ends_with(".0")) s.resize(s.size() - 2);
    return s;
}

std::string colourText(QRgb c) {
    std::array<char, 8> buf{};
    std::snprintf(buf.data(), buf.size(), "#%06X", static_cast<unsigned>(c & 0xFFFFFF));
    return buf.data();
}

void text(std::string& svg, double x, double y, std::string_view content, std::string_view attributes = {}) {
    svg += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"";
    if (!attributes.empty()) (svg += ' ') += attributes;
    svg += '>';
    svg += markupEscaped(content);
    svg += "</text>\n";
}

// Greedy lines of at most `width` pixels, broken at spaces.
std::vector<std::string> wrapped(const std::string& content, double width, int pixels, bool bold) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t at = 0;
    while (at < content.size()) {
        std::size_t end = content.find(' ', at);
        if (end == std::string::npos) end = content.size();
        const std::string word = content.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        const std::string longer = line.empty() ? word : line + " " + word;
        if (!line.empty() && textWidth(longer, pixels, bold) > width) {
            lines.push_back(line);
            line = word;
        } else {
            line = longer;
        }
    }
    if (!line.empty() || lines.empty()) lines.push_back(line);
    return lines;
}

// ---- How each curve looks

enum class Marker { None, Circle, Square, Triangle, Diamond };

struct Look {
    QRgb colour;
    bool dashed;
    bool dotted;
    Marker marker;
};

// A colour a participant, in order of appearance; lines solid, words dashed,
// any other level dotted. Past eight participants the colours come round
// again with a marker on every point.
std::vector<Look> looks(const std::vector<Curve>& curves) {
    std::map<std::string, std::size_t> participants;
    std::vector<Look> out;
    for (const Curve& curve : curves) {
        const std::size_t p = participants.try_emplace(curve.participant, participants.size()).first->second;
        const std::size_t round = p / kPalette.size();
        const Marker marker = round == 0 ? Marker::None : static_cast<Marker>(1 + (round - 1) % 4);
        const bool words = curve.level == "words", lines = curve.level == "lines" || curve.level.empty();
        out.push_back({kPalette[p % kPalette.size()], words, !words && !lines, marker});
    }
    return out;
}

std::string strokeOf(const Look& look) {
    std::string s = "stroke=\"" + colourText(look.colour) + "\"";
    if (look.dashed) s += " stroke-dasharray=\"7 4\"";
    if (look.dotted) s += " stroke-dasharray=\"2 3\"";
    return s;
}

// The marker's outline around (x, y), as path data.
std::string markerPath(Marker marker, double x, double y) {
    constexpr double r = 3.5;
    switch (marker) {
    case Marker::None: return {};
    case Marker::Circle:
        return "M" + num(x - r) + " " + num(y) + "a" + num(r) + " " + num(r) + " 0 1 0 " + num(2 * r) + " 0a" + num(r) +
               " " + num(r) + " 0 1 0 " + num(-2 * r) + " 0z";
    case Marker::Square:
        return "M" + num(x - r) + " " + num(y - r) + "h" + num(2 * r) + "v" + num(2 * r) + "h" + num(-2 * r) + "z";
    case Marker::Triangle:
        return "M" + num(x) + " " + num(y - r - 1) + "L" + num(x + r + 0.5) + " " + num(y + r) + "L" + num(x - r - 0.5) +
               " " + num(y + r) + "z";
    case Marker::Diamond:
        return "M" + num(x) + " " + num(y - r - 1) + "L" + num(x + r + 1) + " " + num(y) + "L" + num(x) + " " +
               num(y + r + 1) + "L" + num(x - r - 1) + " " + num(y) + "z";
    }
    return {};
}

std::string curveName(const Curve& curve) {
    std::string name = curve.participant;
    if (!curve.participant.empty() && !curve.level.empty()) name += ", ";
    return name + curve.level;
}

// ---- Axes

struct Axis {
    double lo, hi, step;
    int decimals;
    double at(double v, double from, double to) const { return from + (v - lo) / (hi - lo) * (to - from); }
};

// A tick step that leaves at most ten intervals over `span` thresholds.
double thresholdStep(int span) {
    for (const int step : {1, 2, 5, 10, 20}) {
        if (span <= 10 * step) return step;
    }
    return 25;
}

Axis thresholdAxis(const std::vector<Curve>& curves) {
    int lo = 100, hi = 0;
    for (const Curve& curve : curves) {
        for (const CurvePoint& p : curve.points) {
            lo = std::min(lo, p.threshold);
            hi = std::max(hi, p.threshold);
        }
    }
    if (lo > hi) lo = 0, hi = 100;  // nothing to draw: show the whole scale
    if (lo == hi) --lo, ++hi;       // one threshold: a point needs some room
    return {static_cast<double>(lo), static_cast<double>(hi), thresholdStep(hi - lo), 0};
}

// The data's range and a little more on either side, within 0 to 100, ends
// on ticks: curves crowded near 100 get the whole chart.
Axis rateAxis(const Rate& rate, const std::vector<Curve>& curves) {
    double lo = 100, hi = 0;
    for (const Curve& curve : curves) {
        for (const CurvePoint& p : curve.points) {
            if (const std::optional<double>& v = p.*rate.value) {
                lo = std::min(lo, std::clamp(*v, 0.0, 100.0));
                hi = std::max(hi, std::clamp(*v, 0.0, 100.0));
            }
        }
    }
    if (lo > hi) return {0, 100, 20, 0};
    const double margin = std::max(0.06 * (hi - lo), 0.5);
    lo = std::max(0.0, lo - margin);
    hi = std::min(100.0, hi + margin);
    double step = 20;
    for (const double s : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0}) {
        if ((std::ceil(hi / s - 1e-9) - std::floor(lo / s + 1e-9)) <= 8) {
            step = s;
            break;
        }
    }
    lo = std::max(0.0, std::floor(lo / step + 1e-9) * step);
    hi = std::min(100.0, std::ceil(hi / step - 1e-9) * step);
    return {lo, hi, step, step < 1 ? 1 : 0};
}

std::vector<double> ticks(const Axis& axis) {
    std::vector<double> out;
    const auto first = static_cast<long>(std::ceil(axis.lo / axis.step - 1e-9));
    const auto last = static_cast<long>(std::floor(axis.hi / axis.step + 1e-9));
    for (long k = first; k <= last; ++k) out.push_back(static_cast<double>(k) * axis.step);
    return out;
}

std::string tickLabel(double v, int decimals) {
    std::array<char, 32> buf{};
    const auto end = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, decimals).ptr;
    return std::string(buf.data(), end);
}

// ---- The picture

constexpr double kMargin = 16;
constexpr int kCaptionPixels = 16, kCaptionLine = 21;
constexpr int kLegendPixels = 12, kLegendLine = 19;
constexpr double kSample = 34;  // a legend entry's line

struct Layout {
    std::vector<std::string> caption;
    std::size_t columns = 1;
    double columnWidth = 0;
    double legendTop = 0, chartsTop = 0;
    int height = 0;
};

Layout layout(const std::vector<Curve>& curves, const std::string& caption) {
    Layout l;
    l.caption = wrapped(caption, kPlotWidth - 2 * kMargin, kCaptionPixels, true);
    l.legendTop = 12 + static_cast<double>(l.caption.size()) * kCaptionLine + 6;
    double widest = 0;
    std::map<std::string, int> levels;
    for (const Curve& curve : curves) {
        widest = std::max(widest, textWidth(curveName(curve), kLegendPixels));
        levels.emplace(curve.level, 0);
    }
    l.columnWidth = kSample + 8 + widest + 24;
    const double room = kPlotWidth - 2 * kMargin;
    l.columns = std::max<std::size_t>(1, static_cast<std::size_t>(room / l.columnWidth));
    // A participant's levels side by side, when a row holds them all.
    if (const std::size_t k = levels.size(); k > 1 && l.columns >= k) l.columns -= l.columns % k;
    l.columns = std::min(l.columns, std::max<std::size_t>(1, curves.size()));
    const std::size_t rows = (curves.size() + l.columns - 1) / l.columns;
    l.chartsTop = l.legendTop + static_cast<double>(rows) * kLegendLine + 4;
    l.height = static_cast<int>(std::ceil(l.chartsTop)) + 3 * kPlotChartHeight;
    return l;
}

void legend(std::string& svg, const Layout& l, const std::vector<Curve>& curves, const std::vector<Look>& look) {
    svg += "<g font-size=\"" + std::to_string(kLegendPixels) + "\">\n";
    for (std::size_t c = 0; c < curves.size(); ++c) {
        const double x = kMargin + static_cast<double>(c % l.columns) * l.columnWidth;
        const double y = l.legendTop + static_cast<double>(c / l.columns) * kLegendLine + kLegendLine / 2.0;
        svg += "<path d=\"M" + num(x) + " " + num(y) + "h" + num(kSample) + "\" " + strokeOf(look[c]) +
               " stroke-width=\"2\" fill=\"none\"/>\n";
        if (look[c].marker != Marker::None)
            svg += "<path d=\"" + markerPath(look[c].marker, x + kSample / 2, y) + "\" fill=\"" +
                   colourText(look[c].colour) + "\"/>\n";
        text(svg, x + kSample + 8, y + 4, curveName(curves[c]));
    }
    svg += "</g>\n";
}

void chart(std::string& svg, double top, const Rate& rate, const std::vector<Curve>& curves,
           const std::vector<Look>& look, const Axis& x) {
    const Axis y = rateAxis(rate, curves);
    const double left = 64, right = kPlotWidth - 24, plotTop = top + 34, plotBottom = top + kPlotChartHeight - 46;
    const auto X = [&](double t) { return x.at(t, left, right); };
    const auto Y = [&](double v) { return y.at(v, plotBottom, plotTop); };

    svg += "<g>\n";
    text(svg, left, top + 20, rate.title, "font-size=\"14\" font-weight=\"bold\"");
    std::string grid;
    for (const double v : ticks(y)) grid += "M" + num(left) + " " + num(Y(v)) + "H" + num(right);
    for (const double t : ticks(x)) grid += "M" + num(X(t)) + " " + num(plotTop) + "V" + num(plotBottom);
    svg += "<path d=\"" + grid + "\" stroke=\"#E3E3E3\" stroke-width=\"1\" fill=\"none\"/>\n";
    svg += "<rect x=\"" + num(left) + "\" y=\"" + num(plotTop) + "\" width=\"" + num(right - left) + "\" height=\"" +
           num(plotBottom - plotTop) + "\" stroke=\"#7A7A7A\" stroke-width=\"1\" fill=\"none\"/>\n";
    svg += "<g class=\"rate-ticks\" font-size=\"12\" fill=\"#333333\">\n";
    for (const double v : ticks(y)) text(svg, left - 6, Y(v) + 4, tickLabel(v, y.decimals), "text-anchor=\"end\"");
    svg += "</g>\n<g class=\"threshold-ticks\" font-size=\"12\" fill=\"#333333\">\n";
    for (const double t : ticks(x)) text(svg, X(t), plotBottom + 16, tickLabel(t, 0), "text-anchor=\"middle\"");
    svg += "</g>\n";
    text(svg, (left + right) / 2, plotBottom + 36, "Threshold (%)", "font-size=\"13\" text-anchor=\"middle\"");
    const double mid = (plotTop + plotBottom) / 2;
    text(svg, 20, mid, rate.axis,
         "font-size=\"13\" text-anchor=\"middle\" transform=\"rotate(-90 20 " + num(mid) + ")\"");

    // A curve is one path, broken where the rate is undefined; a point
    // with no defined neighbour has no line, so it gets a dot.
    for (std::size_t c = 0; c < curves.size(); ++c) {
        std::string d, marks, dots;
        std::size_t run = 0;
        double lastX = 0, lastY = 0;
        const auto endRun = [&] {
            if (run == 1) dots += markerPath(Marker::Circle, lastX, lastY);
            run = 0;
        };
        for (const CurvePoint& p : curves[c].points) {
            const std::optional<double>& v = p.*rate.value;
            if (!v) {
                endRun();
                continue;
            }
            lastX = X(p.threshold), lastY = Y(std::clamp(*v, 0.0, 100.0));
            d += (run == 0 ? "M" : "L") + num(lastX) + " " + num(lastY);
            ++run;
            marks += markerPath(look[c].marker, lastX, lastY);
        }
        endRun();
        const std::string colour = colourText(look[c].colour);
        svg += "<path class=\"curve\" d=\"" + d + "\" " + strokeOf(look[c]) +
               " stroke-width=\"2\" stroke-linejoin=\"round\" fill=\"none\"/>\n";
        if (!marks.empty()) svg += "<path d=\"" + marks + "\" fill=\"" + colour + "\"/>\n";
        if (!dots.empty() && marks.empty()) svg += "<path d=\"" + dots + "\" fill=\"" + colour + "\"/>\n";
    }
    svg += "</g>\n";
}

std::string plotSvg(const std::vector<Curve>& curves, const std::string& caption, const char* fontFamily, int& height) {
    const std::string heading = caption.empty() ? "FM, DR and RA against the threshold" : caption;
    const Layout l = layout(curves, heading);
    height = l.height;
    const std::vector<Look> look = looks(curves);
    const std::string w = std::to_string(kPlotWidth), h = std::to_string(l.height);
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + w + "\" height=\"" + h +
                      "\" viewBox=\"0 0 " + w + " " + h + "\" font-family=\"" + fontFamily + "\">\n";
    svg += "<title>" + markupEscaped(heading) + "</title>\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + w + "\" height=\"" + h + "\" fill=\"#FFFFFF\"/>\n";
    for (std::size_t i = 0; i < l.caption.size(); ++i)
        text(svg, kMargin, 12 + kCaptionPixels + static_cast<double>(i) * kCaptionLine, l.caption[i],
             "font-size=\"" + std::to_string(kCaptionPixels) + "\" font-weight=\"bold\"");
    legend(svg, l, curves, look);
    const Axis x = thresholdAxis(curves);
    for (std::size_t i = 0; i < kRates.size(); ++i)
        chart(svg, l.chartsTop + static_cast<double>(i) * kPlotChartHeight, kRates[i], curves, look, x);
    svg += "</svg>\n";
    return svg;
}

bool endsWithNoCase(const std::string& name, const std::string& suffix) {
    if (name.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

bool keepGuiApplication() {
    if (QCoreApplication::instance() == nullptr) {
        previousHandler = qInstallMessageHandler(onlySeriousMessages);
        // Left to the end of the process: destroyed at exit, it would go after the fonts it holds.
        static_cast<void>(makeApplication().release());
    }
    return usable();
}

std::string writePlot(const fs::path& file, const std::vector<Curve>& curves, const std::string& caption) {
    const std::string name = file.filename().string();
    const bool svg = endsWithNoCase(name, ".svg");
    if (!svg && !endsWithNoCase(name, ".png")) return "The plot file must end in .svg or .png: " + file.string();
    const auto failed = [&](const QString& why) {
        return "Cannot write the plot " + file.string() + ": " + why.toStdString();
    };

    ApplicationScope application;
    if (!usable())
        return failed("text needs a QGuiApplication, and this program made another kind of application object");

    int height = 0;
    const std::string picture = plotSvg(curves, caption, svg ? kFontFamilies : kQtFontFamily, height);
    // Drawn in memory, then written by bytes: Qt's file names cannot hold a
    // path that is not UTF-8.
    QBuffer bytes;
    if (!svg) {
        QSvgRenderer renderer(QByteArray::fromStdString(picture));
        if (!renderer.isValid()) return failed("the picture did not draw");
        QImage image(kPlotWidth, height, QImage::Format_RGB32);
        if (image.isNull()) return failed("not enough memory");
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        renderer.render(&painter);
        painter.end();
        bytes.open(QIODevice::WriteOnly);
        QImageWriter writer(&bytes, "png");
        if (!writer.write(image)) return failed(writer.errorString());
    }
    const QByteArray& png = bytes.data();
    const std::string_view data =
        svg ? std::string_view(picture) : std::string_view(png.constData(), static_cast<std::size_t>(png.size()));
    if (const auto why = writeWholeFile(file, data)) return failed(QString::fromStdString(*why));
    return {};
}

}  // namespace corvanel::cli
