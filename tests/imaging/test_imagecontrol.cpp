#include "imaging/imagecontrol.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

#include <QApplication>
#include <QColor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <tiffio.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>

namespace corvanel::imaging {
namespace {

namespace fs = std::filesystem;
using corvanel::testing::TempDir;

class QtEnvironment : public ::testing::Environment {
    std::unique_ptr<QApplication> app_;

public:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "corvanel_imaging_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }
};
const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr QRgb kBlack = 0xFF000000u, kWhite = 0xFFFFFFFFu;

// A 1-bit page, bit 1 black, with a diagonal of ink.
QImage monoPage(int width, int height) {
    QImage image(width, height, QImage::Format_Mono);
    image.setColorTable({kWhite, kBlack});
    image.fill(0);
    for (int y = 0; y < height; ++y) image.setPixel(y % width, y, 1);
    return image;
}

// 1-bit or 8-bit grey. Qt writes 1-bit TIFF as LZW at best, so group 4 goes through libtiff.
void writeTiff(const fs::path& path, const QImage& image, uint16_t compression) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    const bool mono = image.format() == QImage::Format_Mono;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width()));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, mono ? 1 : 8);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, mono ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 64u);
    for (int y = 0; y < image.height(); ++y)
        ASSERT_GE(TIFFWriteScanline(tiff, const_cast<uchar*>(image.constScanLine(y)), static_cast<uint32_t>(y), 0), 0);
    TIFFClose(tiff);
}

// The saved pixels, top row first.
std::string savedPixels(ImageControl& control) {
    control.setSaveToBuffer(true);
    EXPECT_TRUE(control.SaveFile()) << control.lastError().toStdString();
    const std::optional<SavedBuffer> buffer = control.takeSaveBuffer();
    if (!buffer) return {};
    const std::size_t offset = ImageControl::pixelOffset(*buffer, control.IWidth(), control.IHeight());
    return {reinterpret_cast<const char*>(buffer->data()) + offset, buffer->size() - offset};
}

TEST(ImageControlLoad, ReadsEachPageFormatWithItsSizeAndDepth) {
    TempDir dir;
    const fs::path& d = dir.path();
    writeTiff(d / "page.tif", monoPage(123, 45), COMPRESSION_CCITTFAX4);
    QImage colour(61, 207, QImage::Format_RGB32);
    colour.fill(qRgb(200, 30, 30));
    ASSERT_TRUE(colour.save(QString::fromStdString((d / "page.png").string())));
    ASSERT_TRUE(colour.copy(0, 0, 30, 7).save(QString::fromStdString((d / "page.bmp").string())));
    ASSERT_TRUE(colour.copy(0, 0, 33, 34).save(QString::fromStdString((d / "page.jpg").string())));
    ASSERT_TRUE(colour.convertToFormat(QImage::Format_Grayscale8).save(QString::fromStdString((d / "grey.png").string())));

    struct Case {
        const char* file;
        int width, height, bpp;
    };
    ImageControl control;
    for (const Case& c : {Case{"page.tif", 123, 45, 1}, Case{"page.png", 61, 207, 24}, Case{"page.bmp", 30, 7, 24},
                          Case{"page.jpg", 33, 34, 24}, Case{"grey.png", 61, 207, 8}}) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(control.setFileName(d / c.file)) << control.lastError().toStdString();
        EXPECT_EQ((std::array{control.IWidth(), control.IHeight(), int{control.IBPP()}}),
                  (std::array{c.width, c.height, c.bpp}));
    }
    ASSERT_TRUE(control.setFileName(d / "page.tif"));
    EXPECT_EQ(control.image().pixel(10, 10), kBlack);
    EXPECT_EQ(control.image().pixel(11, 10), kWhite);
}

TEST(ImageControlLoad, AFailedLoadLeavesNoImageAndSaysWhy) {
    TempDir dir;
    const fs::path& d = dir.path();
    writeTiff(d / "good.tif", monoPage(20, 10), COMPRESSION_CCITTFAX4);
    corvanel::testing::writeBytes(d / "text.tif", "page01 has no image yet\r\n");
    // A JPEG whose header claims 65000 x 65000 pixels.
    ASSERT_TRUE(monoPage(40, 30).save(QString::fromStdString((d / "small.jpg").string())));
    std::string jpeg = corvanel::testing::readBytes(d / "small.jpg");
    jpeg.replace(jpeg.find("\xFF\xC0") + 5, 4, "\xFD\xE8\xFD\xE8");
    corvanel::testing::writeBytes(d / "huge.jpg", jpeg);

    ImageControl control;
    for (const char* name : {"text.tif", "missing.tif", "huge.jpg"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(control.setFileName(d / "good.tif"));
        EXPECT_FALSE(control.setFileName(d / name));
        EXPECT_EQ((std::array{control.IWidth(), control.IHeight(), int{control.IBPP()}}), (std::array{0, 0, 0}));
        EXPECT_TRUE(control.lastError().startsWith(QStringLiteral("Cannot load the image %1: ").arg(name)));
    }
    EXPECT_EQ(control.lastError().toStdString(),
              "Cannot load the image huge.jpg: Unable to read image data (65000 x 65000 pixels, more than 20000 x 20000).");
}

// 400 MB of grey pixels, beyond Qt's default allocation limit.
TEST(ImageControlLoad, LoadsAPageOf20000By20000Pixels) {
    TempDir dir;
    QImage page(20000, 20000, QImage::Format_Grayscale8);
    page.fill(255);
    page.scanLine(19999)[19999] = 0;
    writeTiff(dir.path() / "large.tif", page, COMPRESSION_PACKBITS);
    page = QImage();
    ImageControl control;
    ASSERT_TRUE(control.setFileName(dir.path() / "large.tif")) << control.lastError().toStdString();
    control.ColorDepth(1, 0, 0);
    EXPECT_EQ((std::array{control.IWidth(), control.IHeight(), int{control.IBPP()}}), (std::array{20000, 20000, 1}));
    EXPECT_EQ(control.image().pixel(19999, 19999), kBlack);
    EXPECT_EQ(control.image().pixel(19998, 19999), kWhite);
}

TEST(ImageControlDepth, OneBitThresholdsGreyAndColourAtMidGrey) {
    QImage colour(5, 1, QImage::Format_ARGB32);
    const QRgb pixels[] = {qRgb(127, 127, 127), qRgb(128, 128, 128), qRgb(255, 0, 0) /* grey 76 */,
                           qRgb(255, 255, 0) /* grey 226 */, qRgba(0, 0, 0, 0) /* transparent: paper */};
    for (int x = 0; x < 5; ++x) colour.setPixel(x, 0, pixels[x]);
    ImageControl control;
    control.setHDIB(Bitmap(colour));
    control.ColorDepth(1, 0, 0);
    ASSERT_EQ(control.IBPP(), 1);
    const QRgb expected[] = {kBlack, kWhite, kBlack, kWhite, kWhite};
    for (int x = 0; x < 5; ++x) EXPECT_EQ(control.image().pixel(x, 0), expected[x]) << x;
}

TEST(ImageControlDepth, EightBitsPaletteTellsRegionsApart) {
    ImageControl control;
    control.setHDIB(Bitmap(monoPage(4, 4)));
    control.ColorDepth(8, 1, 0);
    const QList<QRgb> palette = control.image().colorTable();
    ASSERT_EQ(palette.size(), 256);
    EXPECT_EQ(palette[0], kBlack);
    EXPECT_EQ(palette[255], kWhite);
    EXPECT_EQ(std::set<QRgb>(palette.begin(), palette.end()).size(), 256u);
    auto distance = [&](int a, int b) {
        return std::hypot(qRed(palette[a]) - qRed(palette[b]), qGreen(palette[a]) - qGreen(palette[b]),
                          qBlue(palette[a]) - qBlue(palette[b]));
    };
    // Label l paints l x 50 mod 256, and neighbouring regions mostly have consecutive labels.
    for (int label = 1; label < 128; ++label) {
        const int v = label * 50 % 256, next = (label + 1) * 50 % 256;
        if (v == 0 || next == 0) continue;  // label 128 paints 0, as the ink
        EXPECT_GT(distance(v, next), 150) << "labels " << label << " and " << label + 1;
        for (int other : {0, 1, 255}) EXPECT_GT(distance(v, other), 60) << "label " << label << ", index " << other;
    }
}

TEST(ImageControlDepth, RegionColoursStayOffInkAndPaperAndNeighboursDifferInHue) {
    ImageControl control;
    control.setHDIB(Bitmap(monoPage(4, 4)));
    control.ColorDepth(8, 1, 0);
    const QList<QRgb> palette = control.image().colorTable();
    auto luminance = [](QRgb c) {  // WCAG
        auto linear = [](int channel) {
            const double v = channel / 255.0;
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
    };
    auto hueDistance = [&](int a, int b) {
        const double d = std::fabs(QColor(palette[a]).hsvHueF() - QColor(palette[b]).hsvHueF()) * 360;
        return std::min(d, 360 - d);
    };
    for (int label = 1; label < 128; ++label) {
        const int v = label * 50 % 256, next = (label + 1) * 50 % 256;
        if (v == 0) continue;  // label 128 paints 0, as the ink
        EXPECT_GE(luminance(palette[v]), 0.15) << label;
        EXPECT_LE(luminance(palette[v]), 0.75) << label;
        EXPECT_GE(hueDistance(v, 1), 30) << label;  // the outline's red
        if (next == 0) continue;
        EXPECT_GE(hueDistance(v, next), 60) << label;
    }
}

TEST(ImageControlDepth, EightBitsMakesInkZeroAndPaperWhicheverBitIsBlack) {
    QImage page(13, 5, QImage::Format_Mono);  // odd width: QImage pads its rows
    page.setColorTable({kWhite, kBlack});
    page.fill(0);
    std::string expected(13 * 5, '\xFF');
    for (int i = 0; i < 13 * 5; i += 3) {
        page.setPixel(i % 13, i / 13, 1);
        expected[static_cast<std::size_t>(i)] = '\0';
    }
    QImage inverted = page;
    inverted.invertPixels();
    inverted.setColorTable({qRgb(40, 40, 40), qRgb(230, 230, 230)});  // bit 0 the darker
    ImageControl control;
    for (const QImage& bits : {page, inverted}) {
        control.setHDIB(Bitmap(bits));
        EXPECT_EQ(savedPixels(control), expected);  // saved while 1-bit: converted on the way
        EXPECT_EQ(control.IBPP(), 1);
        control.ColorDepth(8, 1, 0);
        EXPECT_EQ(savedPixels(control), expected);
    }
}

TEST(ImageControlBuffer, HandsOverCopiesAndLoadsWhatWasSavedAndPaintedButNoMalformedBuffer) {
    auto save = [](int at = -1, std::uint32_t value = 0) {
        ImageControl hidden;
        hidden.setHDIB(Bitmap(monoPage(13, 5)));
        hidden.ColorDepth(8, 1, 0);
        hidden.setSaveToBuffer(true);
        hidden.SaveFile();
        SavedBuffer buffer = *hidden.takeSaveBuffer();
        if (at >= 0) std::memcpy(buffer.data() + at, &value, 4);  // little-endian host
        return buffer;
    };
    SavedBuffer overlay = save();
    const std::size_t offset = ImageControl::pixelOffset(overlay, 13, 5);
    EXPECT_EQ(offset, overlay.size() - 65);
    EXPECT_EQ(ImageControl::pixelOffset(overlay, 100000, 100000), overlay.size());
    overlay.data()[offset + 2 * 13 + 3] = 50;

    ImageControl display, hidden;
    hidden.setHDIB(Bitmap(monoPage(13, 5)));
    display.setHDIB(hidden.CopyDIB());
    hidden.ColorDepth(8, 1, 0);
    EXPECT_EQ(display.IBPP(), 1);  // the copy handed over is the display's own
    ASSERT_TRUE(display.LoadBuffer(overlay)) << display.lastError().toStdString();
    EXPECT_EQ((std::array{display.IWidth(), display.IHeight(), int{display.IBPP()}}), (std::array{13, 5, 8}));
    EXPECT_EQ(display.image().pixelIndex(1, 0), 255);
    display.ColorDepth(8, 1, 0);  // an overlay converted again keeps its values
    EXPECT_EQ(display.image().pixelIndex(3, 2), 50);

    const std::pair<int, std::uint32_t> damage[] = {{0, 0x12345678}, {4, 14}, {8, 4}, {4, 0}, {4, 0x80000000u},
                                                            {8, 0x7FFFFFFF}};
    for (const auto& [at, value] : damage) {
        EXPECT_FALSE(display.LoadBuffer(save(at, value))) << at << " " << value;
        EXPECT_EQ(display.image().pixelIndex(3, 2), 50);  // the image shown stays
    }
    EXPECT_FALSE(display.LoadBuffer(SavedBuffer()));
}

// A shown control of the main window's display size.
struct Shown : ImageControl {
    Shown() {
        setScrollBars(3);
        resize(734, 648);
        show();
        QApplication::processEvents();
    }
    QImage view() {
        QApplication::processEvents();
        return viewport()->grab().toImage();
    }
};

TEST(ImageControlDisplay, FitsThePageUntilTheUserZooms) {
    Shown control;
    auto fit = [&] { return std::min(control.viewport()->width() / 2500.0, control.viewport()->height() / 3500.0); };
    control.setHDIB(Bitmap(monoPage(2500, 3500)));
    control.ZoomToFit(2);
    EXPECT_DOUBLE_EQ(control.zoom(), fit());
    control.resize(1000, 900);
    control.view();
    EXPECT_DOUBLE_EQ(control.zoom(), fit());
    EXPECT_FALSE(control.verticalScrollBar()->isVisible());

    control.zoomAround(1.0, QPointF(100, 100));
    control.resize(734, 648);
    control.view();
    EXPECT_DOUBLE_EQ(control.zoom(), 1.0);
    EXPECT_TRUE(control.horizontalScrollBar()->isVisible());
    control.ZoomToFit(2);
    control.view();
    EXPECT_DOUBLE_EQ(control.zoom(), fit());
}

TEST(ImageControlDisplay, ThinStrokesStayVisibleWhenFitted) {
    Shown control;
    QPalette palette = control.palette();
    palette.setColor(QPalette::Dark, Qt::blue);  // around the page
    control.setPalette(palette);
    QImage page(2500, 3500, QImage::Format_Mono);
    page.setColorTable({kWhite, kBlack});
    page.fill(0);
    for (int y = 0; y < 3500; ++y) page.setPixel(1234, y, 1);  // one pixel wide
    control.setHDIB(Bitmap(page));
    const QImage view = control.view();
    int darkest = 255, marked = 0, white = 0;
    for (int x = 0; x < view.width(); ++x) {
        const QRgb c = view.pixel(x, view.height() / 2);
        if (c == qRgb(0, 0, 255)) continue;
        darkest = std::min(darkest, qGray(c));
        marked += qGray(c) < 250;
        white += c == kWhite;
    }
    EXPECT_LT(darkest, 170);
    EXPECT_LE(marked, 2);
    EXPECT_GT(white, 400);  // the page, about 460 pixels wide
}

// Indexed pages are shrunk from their indices, paper skipped in blocks; at
// any zoom the picture must be the one their colours give.
TEST(ImageControlDisplay, IndexedPagesShrinkAsTheirColoursDo) {
    QImage overlay(1003, 1501, QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < 256; ++i) table.push_back(i == 0 ? kBlack : i == 7 ? kWhite : qRgb(i, 255 - i, (i * 37) & 255));
    overlay.setColorTable(table);
    overlay.fill(7);
    QImage page(1003, 1501, QImage::Format_Mono);
    page.setColorTable({kBlack, kWhite});  // bit 1 is the paper
    page.fill(1);
    for (int y = 0; y < 1501; ++y)
        for (int x = (y * 7) % 13; x < 1003; x += 5 + (y % 11)) {
            overlay.setPixel(x, y, static_cast<uint>((x + y) % 256));
            page.setPixel(x, y, 0);
        }
    for (const QImage& image : {overlay, page}) {
        Shown indexed, colours;
        indexed.setHDIB(Bitmap(image));
        colours.setHDIB(Bitmap(image.convertToFormat(QImage::Format_RGB32)));
        // Fitted, at one to one and enlarged.
        for (const double zoom : {0.0, 1.0, 2.5}) {
            if (zoom > 0)
                for (Shown* c : {&indexed, &colours}) c->zoomAround(zoom, c->viewport()->rect().center());
            EXPECT_EQ(indexed.view(), colours.view()) << "format " << image.format() << ", zoom " << zoom;
        }
    }
}

TEST(ImageControlDisplay, WheelAndDragKeepThePageUnderTheCursor) {
    QImage page(1600, 1200, QImage::Format_RGB32);  // each 40 x 40 block its own colour
    for (int y = 0; y < 1200; ++y)
        for (int x = 0; x < 1600; ++x) page.setPixel(x, y, qRgb(x / 40 * 6, y / 40 * 8, 200));
    Shown control;
    control.setHDIB(Bitmap(page));
    const QPoint cursor(553, 402);
    const QImage fitted = control.view();
    const QRgb under = fitted.pixel(cursor);
    ASSERT_EQ(fitted.pixel(cursor + QPoint(3, 3)), under);  // not at a block's edge

    const double zoom = control.zoom();
    control.zoomAround(zoom * 3, cursor);
    EXPECT_EQ(control.view().pixel(cursor), under);
    EXPECT_NE(control.view().pixel(cursor + QPoint(150, 0)), under);

    QWheelEvent wheel(cursor, control.viewport()->mapToGlobal(cursor), {}, {0, 240}, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(control.viewport(), &wheel);
    EXPECT_DOUBLE_EQ(control.zoom(), zoom * 3 * 1.25 * 1.25);
    EXPECT_EQ(control.view().pixel(cursor), under);

    auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent event(type, at, control.viewport()->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(control.viewport(), &event);
    };
    mouse(QEvent::MouseButtonPress, cursor, Qt::LeftButton, Qt::LeftButton);
    mouse(QEvent::MouseMove, cursor + QPoint(-100, 60), Qt::NoButton, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, cursor + QPoint(-100, 60), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(control.view().pixel(cursor + QPoint(-100, 60)), under);
}

void sendMouse(QWidget* to, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::NoButton) {
    QMouseEvent event(type, at, to->mapToGlobal(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(to, &event);
}

TEST(ImageControlDisplay, AViewInsteadShowsWhileTheHeldImageStaysAndChanges) {
    Shown control;
    const QImage page = monoPage(200, 100);
    control.setHDIB(Bitmap(page));
    QImage view(200, 100, QImage::Format_Indexed8);  // a small colour table
    view.setColorTable({kWhite, qRgb(0, 160, 0)});
    view.fill(1);
    control.setViewInstead(view);
    const QPoint middle = control.viewport()->rect().center();
    EXPECT_EQ(control.view().pixel(middle), qRgb(0, 160, 0));
    EXPECT_EQ(control.IBPP(), 1);
    EXPECT_EQ(control.CopyDIB().image(), page);

    ImageControl other;
    other.setHDIB(Bitmap(page));
    other.setSaveToBuffer(true);
    ASSERT_TRUE(other.SaveFile());
    ASSERT_TRUE(control.LoadBuffer(*other.takeSaveBuffer()));
    EXPECT_EQ(control.IBPP(), 8);
    control.setHDIB(Bitmap(monoPage(400, 100)));
    EXPECT_EQ(control.IWidth(), 400);
    EXPECT_TRUE(control.showsViewInstead());
    EXPECT_EQ(control.view().pixel(middle), qRgb(0, 160, 0));
    const double fit = control.zoom();  // of the 200 pixels shown
    control.clearViewInstead();
    EXPECT_NE(control.view().pixel(middle), qRgb(0, 160, 0));
    EXPECT_DOUBLE_EQ(control.zoom(), fit / 2);
}

TEST(ImageControlDisplay, ShowRegionCentresItAtAThirdOfTheViewAndHighlightsIt) {
    Shown control;
    control.setHDIB(Bitmap(monoPage(2500, 3500)));
    const double fit = control.zoom();
    const QRect region(1000, 2000, 120, 40);
    control.showRegion(region);
    const QSize view = control.viewport()->size();
    EXPECT_NEAR(std::max(120 * control.zoom() / view.width(), 40 * control.zoom() / view.height()), 1.0 / 3, 0.03);
    const QPoint middle = control.viewport()->rect().center();
    EXPECT_LE((*control.imagePixelAt(middle) - QPoint(1060, 2020)).manhattanLength(), 2);

    // Just right of the region: black, then yellow.
    control.setHighlight(region);
    QPoint beside = middle;
    while (control.imagePixelAt(beside)->x() <= region.right()) beside.rx()++;
    const QImage shot = control.view();
    EXPECT_EQ(shot.pixel(beside), kBlack);
    EXPECT_EQ(QColor(shot.pixel(beside + QPoint(1, 0))).hue() / 10, 5);
    control.setHighlight(std::nullopt);
    EXPECT_EQ(control.view().pixel(beside), kWhite);

    control.showRegion(QRect(0, 0, 2500, 3500));  // never below the fit
    EXPECT_DOUBLE_EQ(control.zoom(), fit);
}

TEST(ImageControlDisplay, WheelAndKeysZoomButNeverOutPastTheFitWhichFAndDoubleClickRestore) {
    Shown control;
    control.setHDIB(Bitmap(monoPage(2500, 3500)));
    EXPECT_EQ(control.focusPolicy(), Qt::WheelFocus);
    const double fit = control.zoom();
    const QPoint middle = control.viewport()->rect().center();
    control.zoomAround(fit * 1.3, middle);
    for (const double times : {1.3 / 1.25, 1.0, 1.0}) {
        QWheelEvent wheel(middle, control.viewport()->mapToGlobal(middle), {}, {0, -120}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(control.viewport(), &wheel);
        EXPECT_DOUBLE_EQ(control.zoom(), fit * times);
    }
    const QPoint under = *control.imagePixelAt(middle);
    const std::pair<int, double> keys[] = {{Qt::Key_Plus, 1.25}, {Qt::Key_Equal, 1.5625}, {Qt::Key_Minus, 1.25},
                                           {Qt::Key_Minus, 1},   {Qt::Key_Minus, 1},      {Qt::Key_Plus, 1.25},
                                           {Qt::Key_F, 1},       {Qt::Key_Plus, 1.25}};
    for (const auto& [key, times] : keys) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&control, &event);
        EXPECT_DOUBLE_EQ(control.zoom(), fit * times) << key;
    }
    EXPECT_LE((*control.imagePixelAt(middle) - under).manhattanLength(), 4);  // zoomed around the centre
    sendMouse(control.viewport(), QEvent::MouseButtonDblClick, middle, Qt::LeftButton);
    EXPECT_DOUBLE_EQ(control.zoom(), fit);
    control.resize(1000, 1000);  // fitted again: the fit follows the view
    control.view();
    EXPECT_GT(control.zoom(), fit);
}

TEST(ImageControlDisplay, ReportsThePixelUnderThePointerAndWhenItLeavesThePage) {
    QImage page(1600, 1200, QImage::Format_RGB32);  // every pixel its own colour
    for (int y = 0; y < 1200; ++y)
        for (int x = 0; x < 1600; ++x) page.setPixel(x, y, qRgb(x % 256, y % 256, x / 256 * 16 + y / 256));
    Shown control;
    control.setHDIB(Bitmap(page));
    std::vector<QPoint> hovered;
    int left = 0;
    QObject::connect(&control, &ImageControl::pixelHovered, [&](QPoint p) { hovered.push_back(p); });
    QObject::connect(&control, &ImageControl::hoverLeft, [&] { ++left; });

    control.zoomAround(3 * control.zoom(), QPointF(367, 324));  // enlarged: a display pixel shows one page pixel
    const QImage shot = control.view();
    for (const QPoint at : {QPoint(5, 7), QPoint(553, 402), QPoint(700, 600)}) {
        sendMouse(control.viewport(), QEvent::MouseMove, at);
        ASSERT_FALSE(hovered.empty());
        EXPECT_EQ(page.pixel(hovered.back()), shot.pixel(at));
        EXPECT_EQ(control.imagePixelAt(at), hovered.back());
    }
    control.ZoomToFit(2);  // bands above and below the page
    ASSERT_FALSE(control.imagePixelAt(QPointF(300, 2)));
    sendMouse(control.viewport(), QEvent::MouseMove, {300, 2});
    EXPECT_EQ(hovered.size(), 3u);
    EXPECT_EQ(left, 1);
    sendMouse(control.viewport(), QEvent::MouseMove, {300, 300});
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(control.viewport(), &leave);
    EXPECT_EQ(hovered.size(), 4u);
    EXPECT_EQ(left, 2);
}

}  // namespace
}  // namespace corvanel::imaging
