#include "imaging/imagecontrol.h"

#include "imaging/imagesize.h"

#include <QColor>
#include <QImageReader>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QResizeEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace corvanel::imaging {

namespace {

constexpr QRgb kBlack = 0xFF000000u;
constexpr QRgb kWhite = 0xFFFFFFFFu;

// Qt refuses to decode images above 128 MB. Pages up to 20000 x 20000 must
// load, and a colour page decodes to 32 bits a pixel: 1.6e9 bytes, 1526 MB.
// Anything larger is still refused, with a message, rather than exhausting memory.
constexpr qint64 kLargestPageSide = 20000;
constexpr int kAllocationLimitMB =
    static_cast<int>((kLargestPageSide * kLargestPageSide * 4 + (1 << 20) - 1) >> 20);

void raiseAllocationLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        const int current = QImageReader::allocationLimit();  // 0: no limit
        if (current != 0 && current < kAllocationLimitMB) QImageReader::setAllocationLimit(kAllocationLimitMB);
    });
}

constexpr double kMinZoom = 1.0 / 256;
constexpr double kMaxZoom = 64.0;
constexpr double kWheelStep = 1.25;  // zoom factor per wheel notch
constexpr int kTile = 256;           // display tiles, in screen pixels
constexpr std::size_t kMaxTiles = 256;

// Saved buffer: magic, width, height (little-endian 32-bit), 256 palette
// entries (ARGB, little-endian 32-bit), then width x height index bytes.
constexpr std::array<std::uint8_t, 4> kMagic = {'C', 'V', 'P', '8'};
constexpr std::size_t kPaletteOffset = 12;
constexpr std::size_t kHeaderSize = kPaletteOffset + 256 * 4;

void putLE32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t getLE32(const std::uint8_t* at) {
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
}

// WCAG relative luminance of an sRGB colour: 0 black, 1 white.
double luminance(QRgb c) {
    auto linear = [](int channel) {
        const double v = channel / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
}

// The most saturated colour of `hue` (degrees) whose luminance lies in
// [low, high]: too light hues (yellow) lose value, too dark ones (blue) lose
// saturation towards white. Both keep the hue.
QRgb withLuminance(double hue, double low, double high) {
    const auto hsv = [hue](double s, double v) {
        return QColor::fromHsvF(static_cast<float>(hue / 360.0), static_cast<float>(s), static_cast<float>(v)).rgb();
    };
    const double full = luminance(hsv(1, 1));
    if (full >= low && full <= high) return hsv(1, 1);
    const bool darken = full > high;
    // Luminance grows with value and falls with saturation; keep the end inside the range.
    double inside = 0, outside = 1;
    for (int i = 0; i < 30; ++i) {
        const double mid = (inside + outside) / 2;
        const double l = darken ? luminance(hsv(1, mid)) : luminance(hsv(mid, 1));
        if (darken ? l > high : l < low)
            outside = mid;
        else
            inside = mid;
    }
    return darken ? hsv(1, inside) : hsv(inside, 1);
}

const QList<QRgb>& labelPalette() {
    static const QList<QRgb> palette = [] {
        constexpr double kGolden = 0.6180339887498949;
        // Region hues keep 40 degrees from the outline's red; the golden step
        // then puts consecutive labels at least 107 degrees apart.
        constexpr double kFirstHue = 40, kHueRange = 280;
        QList<QRgb> p(256);
        p[0] = kBlack;
        p[255] = kWhite;
        p[1] = qRgb(255, 0, 0);  // the outline: the only red
        for (int v = 2; v < 255; ++v) {
            double turn = 0, low = 0.20, high = 0.50;
            if (v % 2 == 0) {
                // Regions are painted l x 50 mod 256, always even. As 25 x 41 = 1
                // mod 128, v = 2k comes from label l = 41k mod 128: consecutive
                // labels, neighbours on the page, get hues a golden-ratio turn apart.
                const int label = (v / 2 * 41) % 128;
                turn = std::fmod(label * kGolden, 1.0);
                // Odd labels lighter, even ones darker, all well away from ink and paper.
                if (label % 2)
                    low = 0.25, high = 0.60;
                else
                    low = 0.18, high = 0.40;
            } else {
                turn = std::fmod(v * kGolden + 0.5, 1.0);
            }
            p[v] = withLuminance(kFirstHue + kHueRange * turn, low, high);
        }
        return p;
    }();
    return palette;
}

// Transparency shows white paper.
QRgb overWhite(QRgb c) {
    const int a = qAlpha(c);
    if (a == 255) return c;
    auto mix = [a](int ch) { return (ch * a + 255 * (255 - a) + 127) / 255; };
    return qRgb(mix(qRed(c)), mix(qGreen(c)), mix(qBlue(c)));
}

bool isDark(QRgb c) { return qGray(c) < 128; }

// Which bit values of a 1-bit image are ink: the darker palette entry,
// whatever its index (scanners and writers disagree on which bit is black).
std::array<bool, 2> monoInk(const QImage& image) {
    const int g0 = qGray(overWhite(image.color(0)));
    const int g1 = qGray(overWhite(image.color(1)));
    if (g0 == g1) return {g0 < 128, g1 < 128};
    return {g0 < g1, g1 < g0};
}

// Reduces what Qt's readers produce to the formats the rest of this file
// handles: Mono, Indexed8 (256 entries), Grayscale8, RGB32 and ARGB32.
QImage canonical(QImage image) {
    switch (image.format()) {
    case QImage::Format_Invalid:
        return {};
    case QImage::Format_Mono:
    case QImage::Format_Indexed8:
    case QImage::Format_Grayscale8:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
        break;
    case QImage::Format_MonoLSB:
        image = image.convertToFormat(QImage::Format_Mono);
        break;
    case QImage::Format_Grayscale16:
        return image.convertToFormat(QImage::Format_Grayscale8);
    default:
        return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    }
    // Every index a pixel can hold must have a colour, or painting reads past the table.
    const int entries = image.format() == QImage::Format_Mono      ? 2
                        : image.format() == QImage::Format_Indexed8 ? 256
                                                                    : 0;
    if (!image.isNull() && image.colorCount() < entries) {
        QList<QRgb> table = image.colorTable();
        while (table.size() < entries) table.push_back(table.size() == 1 && entries == 2 ? kWhite : kBlack);
        image.setColorTable(table);
    }
    return image;
}

// Opaque colours of pixels [x0, x1) of a row of a canonical image.
class RowDecoder {
public:
    explicit RowDecoder(const QImage& image) : image_(image) {
        for (int i = 0; i < image.colorCount() && i < 256; ++i) lut_[static_cast<std::size_t>(i)] = overWhite(image.color(i));
    }

    // The opaque colour of palette entry `index`.
    void decodeIndex(int index, QRgb* out) const { *out = lut_[static_cast<std::size_t>(index)]; }

    void decode(int y, int x0, int x1, QRgb* out) const {
        const uchar* row = image_.constScanLine(y);
        switch (image_.format()) {
        case QImage::Format_Mono:
            for (int x = x0; x < x1; ++x) *out++ = lut_[(row[x >> 3] >> (7 - (x & 7))) & 1];
            break;
        case QImage::Format_Indexed8:
            for (int x = x0; x < x1; ++x) *out++ = lut_[row[x]];
            break;
        case QImage::Format_Grayscale8:
            for (int x = x0; x < x1; ++x) *out++ = qRgb(row[x], row[x], row[x]);
            break;
        case QImage::Format_RGB32: {
            const auto* px = reinterpret_cast<const QRgb*>(row);
            for (int x = x0; x < x1; ++x) *out++ = px[x] | 0xFF000000u;
            break;
        }
        default: {
            const auto* px = reinterpret_cast<const QRgb*>(row);
            for (int x = x0; x < x1; ++x) *out++ = overWhite(px[x]);
            break;
        }
        }
    }

private:
    const QImage& image_;
    std::array<QRgb, 256> lut_{};
};

QImage toMono(const QImage& src) {
    if (src.format() == QImage::Format_Mono) {
        const std::array<bool, 2> ink = monoInk(src);
        const QList<QRgb> table{ink[0] ? kBlack : kWhite, ink[1] ? kBlack : kWhite};
        if (src.colorTable() == table) return src;
        QImage out = src;  // the bits stay; only the palette becomes black and white
        out.setColorTable(table);
        return out;
    }
    QImage out(src.size(), QImage::Format_Mono);
    if (out.isNull()) return out;
    out.setColorTable({kWhite, kBlack});
    const RowDecoder decoder(src);
    std::vector<QRgb> row(static_cast<std::size_t>(src.width()));
    for (int y = 0; y < src.height(); ++y) {
        decoder.decode(y, 0, src.width(), row.data());
        uchar* dst = out.scanLine(y);
        std::memset(dst, 0, static_cast<std::size_t>(out.bytesPerLine()));
        for (int x = 0; x < src.width(); ++x)
            if (isDark(row[static_cast<std::size_t>(x)])) dst[x >> 3] |= static_cast<uchar>(0x80 >> (x & 7));
    }
    return out;
}

// To the label palette: ink becomes index 0, paper 255. Images that are not
// 1-bit are thresholded at mid grey first.
QImage toLabelIndexed(const QImage& src) {
    const QList<QRgb>& palette = labelPalette();
    if (src.format() == QImage::Format_Indexed8 && src.colorTable() == palette) return src;
    QImage out(src.size(), QImage::Format_Indexed8);
    if (out.isNull()) return out;
    out.setColorTable(palette);
    const int width = src.width();
    if (src.format() == QImage::Format_Mono) {
        const std::array<bool, 2> ink = monoInk(src);
        const uchar value[2] = {static_cast<uchar>(ink[0] ? 0 : 255), static_cast<uchar>(ink[1] ? 0 : 255)};
        // The eight output bytes of each input byte.
        std::array<std::array<uchar, 8>, 256> spread{};
        for (int b = 0; b < 256; ++b)
            for (int i = 0; i < 8; ++i) spread[static_cast<std::size_t>(b)][static_cast<std::size_t>(i)] = value[(b >> (7 - i)) & 1];
        const int whole = width / 8;
        for (int y = 0; y < src.height(); ++y) {
            const uchar* s = src.constScanLine(y);
            uchar* d = out.scanLine(y);
            for (int i = 0; i < whole; ++i) std::memcpy(d + 8 * i, spread[s[i]].data(), 8);
            for (int x = whole * 8; x < width; ++x) d[x] = value[(s[x >> 3] >> (7 - (x & 7))) & 1];
        }
        return out;
    }
    const RowDecoder decoder(src);
    std::vector<QRgb> row(static_cast<std::size_t>(width));
    for (int y = 0; y < src.height(); ++y) {
        decoder.decode(y, 0, width, row.data());
        uchar* d = out.scanLine(y);
        for (int x = 0; x < width; ++x) d[x] = isDark(row[static_cast<std::size_t>(x)]) ? 0 : 255;
    }
    return out;
}

// Pixels [begin, end) of the image's `size` source pixels that make up
// display pixel d of `scaled`: a box average when shrinking, one pixel when
// enlarging.
std::pair<int, int> sourceSpan(int d, int scaled, int size) {
    const double r = static_cast<double>(size) / scaled;
    const int begin = std::min(size - 1, static_cast<int>(d * r));
    const int end = d + 1 >= scaled ? size : std::clamp(static_cast<int>((d + 1) * r), begin + 1, size);
    return {begin, end};
}

// Renders `area` of the page shown at `scaled` size. Shrinking averages the
// non-white pixels of each box and lays them over white with the square root
// of their coverage, so a one-pixel stroke at a fifth of the size still shows
// mid grey instead of fading into the paper.
QImage renderArea(const QImage& image, QSize scaled, QRect area) {
    QImage out(area.size(), QImage::Format_RGB32);
    if (out.isNull()) return out;
    const auto columns = static_cast<std::size_t>(area.width());
    std::vector<int> x0(columns), x1(columns);
    for (std::size_t i = 0; i < columns; ++i)
        std::tie(x0[i], x1[i]) = sourceSpan(area.x() + static_cast<int>(i), scaled.width(), image.width());
    const int first = x0.front();
    std::vector<QRgb> row(static_cast<std::size_t>(x1.back() - first));

    struct Sum {
        std::uint32_t n, r, g, b;
    };
    std::vector<Sum> sums(columns);
    // Indexed pages (the 1-bit page, the 8-bit overlay) shrunk are summed from
    // their indices, paper skipped eight pixels at a time: no row of colours
    // first. Only when shrinking: then each pixel falls in one column.
    const bool indexed = (image.format() == QImage::Format_Indexed8 || image.format() == QImage::Format_Mono) &&
                         scaled.width() <= image.width();
    std::array<Sum, 256> ofIndex{};
    std::vector<std::uint32_t> columnOf;
    std::uint8_t paper = 0;  // an index that is white, when one is
    bool paperKnown = false;
    if (indexed) {
        const RowDecoder colours(image);
        for (int k = 0; k < (image.format() == QImage::Format_Mono ? 2 : 256); ++k) {
            QRgb c = 0;
            colours.decodeIndex(k, &c);
            const bool white = (c & 0xFFFFFFu) == 0xFFFFFFu;
            ofIndex[static_cast<std::size_t>(k)] =
                white ? Sum{0, 0, 0, 0}
                      : Sum{1, static_cast<std::uint32_t>(qRed(c)), static_cast<std::uint32_t>(qGreen(c)),
                            static_cast<std::uint32_t>(qBlue(c))};
            if (white && !paperKnown) {
                paper = static_cast<std::uint8_t>(k);
                paperKnown = true;
            }
        }
        columnOf.resize(row.size());
        for (std::size_t i = 0; i < columns; ++i)
            for (int sx = x0[i]; sx < x1[i]; ++sx) columnOf[static_cast<std::size_t>(sx - first)] = static_cast<std::uint32_t>(i);
    }
    const auto addIndex = [&](std::size_t at, std::uint8_t index) {
        const Sum& c = ofIndex[index];
        Sum& s = sums[columnOf[at]];
        s.n += c.n;
        s.r += c.r;
        s.g += c.g;
        s.b += c.b;
    };
    // A byte of eight paper pixels (1-bit) or one paper pixel (8-bit), repeated.
    const std::uint64_t paperBytes =
        image.format() == QImage::Format_Mono ? (paper == 1 ? ~std::uint64_t{0} : 0) : paper * 0x0101010101010101ull;
    const RowDecoder decoder(image);
    for (int j = 0; j < area.height(); ++j) {
        const auto [y0, y1] = sourceSpan(area.y() + j, scaled.height(), image.height());
        std::fill(sums.begin(), sums.end(), Sum{0, 0, 0, 0});
        for (int sy = y0; sy < y1; ++sy) {
            if (indexed && paperKnown) {
                const uchar* line = image.constScanLine(sy);
                const int last = x1.back();
                if (image.format() == QImage::Format_Indexed8) {
                    for (int sx = first; sx < last;) {
                        std::uint64_t eight;
                        if (sx + 8 <= last && (std::memcpy(&eight, line + sx, 8), eight == paperBytes)) {
                            sx += 8;
                            continue;
                        }
                        addIndex(static_cast<std::size_t>(sx - first), line[sx]);
                        ++sx;
                    }
                } else {
                    for (int sx = first; sx < last;) {
                        if ((sx & 7) == 0 && sx + 8 <= last && line[sx >> 3] == static_cast<std::uint8_t>(paperBytes)) {
                            sx += 8;
                            continue;
                        }
                        addIndex(static_cast<std::size_t>(sx - first), (line[sx >> 3] >> (7 - (sx & 7))) & 1);
                        ++sx;
                    }
                }
                continue;
            }
            decoder.decode(sy, first, x1.back(), row.data());
            for (std::size_t i = 0; i < columns; ++i) {
                Sum& s = sums[i];
                for (int sx = x0[i]; sx < x1[i]; ++sx) {
                    const QRgb c = row[static_cast<std::size_t>(sx - first)];
                    if ((c & 0xFFFFFFu) == 0xFFFFFFu) continue;
                    ++s.n;
                    s.r += static_cast<std::uint32_t>(qRed(c));
                    s.g += static_cast<std::uint32_t>(qGreen(c));
                    s.b += static_cast<std::uint32_t>(qBlue(c));
                }
            }
        }
        auto* dst = reinterpret_cast<QRgb*>(out.scanLine(j));
        for (std::size_t i = 0; i < columns; ++i) {
            const Sum& s = sums[i];
            if (s.n == 0) {
                dst[i] = kWhite;
                continue;
            }
            const double box = static_cast<double>(x1[i] - x0[i]) * (y1 - y0);
            const double weight = std::sqrt(s.n / box);
            auto mix = [&](std::uint32_t sum) {
                return static_cast<int>(std::lround(sum / static_cast<double>(s.n) * weight + 255.0 * (1.0 - weight)));
            };
            dst[i] = qRgb(mix(s.r), mix(s.g), mix(s.b));
        }
    }
    return out;
}

}  // namespace

struct ImageControl::Impl {
    // Display tiles at the current zoom, by (row << 32 | column); dropped
    // when the image or the zoom changes.
    std::unordered_map<std::uint64_t, QImage> tiles;
    bool dragging = false;
    QPoint dragLast;
    bool hovering = false;  // the pointer was last over the page

    const QImage& tile(const QImage& image, QSize scaled, int column, int row) {
        const std::uint64_t key = std::uint64_t{static_cast<std::uint32_t>(row)} << 32 | static_cast<std::uint32_t>(column);
        if (auto it = tiles.find(key); it != tiles.end()) return it->second;
        if (tiles.size() >= kMaxTiles) tiles.clear();
        const QRect area = QRect(column * kTile, row * kTile, kTile, kTile) & QRect(QPoint(0, 0), scaled);
        return tiles.emplace(key, renderArea(image, scaled, area)).first->second;
    }
};

ImageControl::ImageControl(QWidget* parent) : QAbstractScrollArea(parent), impl_(std::make_unique<Impl>()) {
    raiseAllocationLimit();
    setScrollBars(scrollBars_);
    // Keys zoom and fit, so a click or a wheel turn gives the focus.
    setFocusPolicy(Qt::WheelFocus);
    viewport()->setMouseTracking(true);
}

ImageControl::~ImageControl() = default;

bool ImageControl::setFileName(const std::filesystem::path& path) {
    fileName_ = path;
    QString unopened;
    const std::unique_ptr<QFile> file = openImageFile(path, &unopened);
    QImageReader reader;
    if (file) prepareReader(reader, *file, path);
    // Label maps index the pixels as stored, so no EXIF rotation.
    reader.setAutoTransform(false);
    QImage loaded;
    const bool read = reader.read(&loaded);
    image_ = read ? canonical(std::move(loaded)) : QImage();
    const QString name = QString::fromStdString(path.filename().string());
    if (!read) {
        QString reason = file ? reader.errorString() : unopened;
        // Qt's reason for a refused allocation is only "Unable to read image data".
        const QSize size = reader.size();
        if (size.isValid() && qint64{size.width()} * size.height() > kLargestPageSide * kLargestPageSide)
            reason += QStringLiteral(" (%1 x %2 pixels, more than %3 x %3)").arg(size.width()).arg(size.height()).arg(kLargestPageSide);
        lastError_ = QStringLiteral("Cannot load the image %1: %2.").arg(name, reason);
    }
    else if (image_.isNull())
        lastError_ = QStringLiteral("Cannot load the image %1: not enough memory.").arg(name);
    else
        lastError_.clear();
    imageChanged();
    return !image_.isNull();
}

std::int32_t ImageControl::IWidth() const { return image_.width(); }
std::int32_t ImageControl::IHeight() const { return image_.height(); }

std::int16_t ImageControl::IBPP() const {
    switch (image_.format()) {
    case QImage::Format_Invalid:
        return 0;
    case QImage::Format_RGB32:
        return 24;  // 32 bits of storage, 24 of colour
    default:
        return static_cast<std::int16_t>(image_.depth());
    }
}

bool ImageControl::hasImage() const { return !image_.isNull(); }
const QImage& ImageControl::image() const { return image_; }

void ImageControl::ColorDepth(int bits, int /*palette*/, int /*dithered*/) {
    if (image_.isNull()) return;
    QImage converted;
    switch (bits) {
    case 1:
        converted = toMono(image_);
        break;
    case 8:
        converted = toLabelIndexed(image_);
        break;
    case 24:
        converted = image_.convertToFormat(QImage::Format_RGB32);
        break;
    case 32:
        converted = image_.convertToFormat(QImage::Format_ARGB32);
        break;
    default:
        return;
    }
    if (converted.isNull()) {
        lastError_ = QStringLiteral("Not enough memory to convert the image to %1 bits per pixel.").arg(bits);
        return;
    }
    image_ = std::move(converted);
    imageChanged();
}

Bitmap ImageControl::CopyDIB() const { return Bitmap(image_.copy()); }

void ImageControl::setHDIB(Bitmap bitmap) {
    image_ = canonical(bitmap.release());
    lastError_.clear();
    imageChanged();
}

void ImageControl::setScrollBars(int mode) {
    scrollBars_ = mode;
    setHorizontalScrollBarPolicy(mode == 1 || mode == 3 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(mode == 2 || mode == 3 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
}

bool ImageControl::SaveFile() {
    saved_.reset();
    if (!saveToBuffer_) {
        lastError_ = QStringLiteral("The image can only be saved to a buffer.");
        return false;
    }
    if (image_.isNull()) {
        lastError_ = QStringLiteral("There is no image to save.");
        return false;
    }
    try {
        // 8-bit images keep their palette; others are converted as ColorDepth(8) would.
        const QImage eight = image_.depth() == 8 ? image_ : toLabelIndexed(image_);
        if (eight.isNull()) throw std::bad_alloc();
        const auto width = static_cast<std::size_t>(eight.width());
        const auto height = static_cast<std::size_t>(eight.height());
        SavedBuffer buffer;
        buffer.bytes_.resize(kHeaderSize + width * height);
        std::uint8_t* out = buffer.bytes_.data();
        std::memcpy(out, kMagic.data(), kMagic.size());
        putLE32(out + 4, static_cast<std::uint32_t>(width));
        putLE32(out + 8, static_cast<std::uint32_t>(height));
        for (int i = 0; i < 256; ++i) {
            const QRgb c = eight.format() == QImage::Format_Grayscale8 ? qRgb(i, i, i) : eight.color(i);
            putLE32(out + kPaletteOffset + 4 * static_cast<std::size_t>(i), c);
        }
        // QImage rows are padded to 32 bits; the buffer's are not.
        for (std::size_t y = 0; y < height; ++y)
            std::memcpy(out + kHeaderSize + y * width, eight.constScanLine(static_cast<int>(y)), width);
        saved_ = std::move(buffer);
    } catch (const std::bad_alloc&) {
        lastError_ = QStringLiteral("Not enough memory to save the image.");
        return false;
    }
    lastError_.clear();
    return true;
}

std::optional<SavedBuffer> ImageControl::takeSaveBuffer() { return std::exchange(saved_, std::nullopt); }

bool ImageControl::LoadBuffer(const SavedBuffer& buffer) {
    const std::uint8_t* in = buffer.data();
    if (buffer.size() < kHeaderSize || std::memcmp(in, kMagic.data(), kMagic.size()) != 0) {
        lastError_ = QStringLiteral("The buffer holds no saved image.");
        return false;
    }
    const std::uint32_t width = getLE32(in + 4);
    const std::uint32_t height = getLE32(in + 8);
    constexpr auto kMaxSide = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide ||
        buffer.size() - kHeaderSize != std::uint64_t{width} * height) {
        lastError_ = QStringLiteral("The saved image's size does not match its buffer.");
        return false;
    }
    QImage loaded(static_cast<int>(width), static_cast<int>(height), QImage::Format_Indexed8);
    if (loaded.isNull()) {
        lastError_ = QStringLiteral("Not enough memory to load the saved image.");
        return false;
    }
    QList<QRgb> palette(256);
    for (std::size_t i = 0; i < 256; ++i) palette[static_cast<qsizetype>(i)] = getLE32(in + kPaletteOffset + 4 * i);
    loaded.setColorTable(palette);
    for (std::uint32_t y = 0; y < height; ++y)
        std::memcpy(loaded.scanLine(static_cast<int>(y)), in + kHeaderSize + std::size_t{y} * width, width);
    image_ = std::move(loaded);
    lastError_.clear();
    imageChanged();
    return true;
}

std::size_t ImageControl::pixelOffset(const SavedBuffer& buffer, std::int32_t width, std::int32_t height) {
    if (width < 0 || height < 0) return buffer.size();
    const std::uint64_t pixels = std::uint64_t(static_cast<std::uint32_t>(width)) * static_cast<std::uint32_t>(height);
    return pixels > buffer.size() ? buffer.size() : buffer.size() - static_cast<std::size_t>(pixels);
}

QSize ImageControl::scaledSize() const {
    const QImage& page = shown();
    if (page.isNull()) return {};
    return {std::max(1, static_cast<int>(std::lround(page.width() * zoom_))),
            std::max(1, static_cast<int>(std::lround(page.height() * zoom_)))};
}

// Top-left of the page in viewport coordinates: centred when smaller than
// the view, else where the scroll bars put it.
QPoint ImageControl::pageOrigin() const {
    const QSize page = scaledSize();
    const QSize view = viewport()->size();
    return {page.width() < view.width() ? (view.width() - page.width()) / 2 : -horizontalScrollBar()->value(),
            page.height() < view.height() ? (view.height() - page.height()) / 2 : -verticalScrollBar()->value()};
}

void ImageControl::updateScrollBars() {
    const QSize page = scaledSize();
    const QSize view = viewport()->size();
    horizontalScrollBar()->setRange(0, std::max(0, page.width() - view.width()));
    horizontalScrollBar()->setPageStep(view.width());
    horizontalScrollBar()->setSingleStep(std::max(1, view.width() / 20));
    verticalScrollBar()->setRange(0, std::max(0, page.height() - view.height()));
    verticalScrollBar()->setPageStep(view.height());
    verticalScrollBar()->setSingleStep(std::max(1, view.height() / 20));
}

// The held image changed: only what is shown needs repainting.
void ImageControl::imageChanged() {
    if (!showsViewInstead()) shownChanged();
}

void ImageControl::shownChanged() {
    impl_->tiles.clear();
    if (fitted_) {
        ZoomToFit(2);
        return;
    }
    updateScrollBars();
    viewport()->update();
}

void ImageControl::setViewInstead(QImage image) {
    instead_ = canonical(std::move(image));
    shownChanged();
}

void ImageControl::clearViewInstead() {
    if (instead_.isNull()) return;
    instead_ = QImage();
    shownChanged();
}

void ImageControl::setHighlight(std::optional<QRect> imageRect) {
    if (imageRect == highlight_) return;
    highlight_ = imageRect;
    viewport()->update();
}

double ImageControl::fitZoom() const {
    const QImage& page = shown();
    // The view without scroll bars: a fitted page needs none.
    const QSize view = maximumViewportSize();
    if (page.isNull() || view.isEmpty()) return 1.0;
    return std::clamp(std::min(static_cast<double>(view.width()) / page.width(),
                               static_cast<double>(view.height()) / page.height()),
                      kMinZoom, kMaxZoom);
}

void ImageControl::ZoomToFit(int /*mode*/) {
    fitted_ = true;
    const double fit = fitZoom();
    if (fit != zoom_) {
        zoom_ = fit;
        impl_->tiles.clear();
    }
    updateScrollBars();
    viewport()->update();
}

void ImageControl::zoomAround(double factor, QPointF viewPoint) {
    fitted_ = false;
    const double zoom = std::clamp(factor, kMinZoom, kMaxZoom);
    if (shown().isNull()) {
        zoom_ = zoom;
        return;
    }
    // The point under the cursor as a fraction of the page, which zooming keeps.
    const QSize before = scaledSize();
    const QPoint origin = pageOrigin();
    const double fx = (viewPoint.x() - origin.x()) / before.width();
    const double fy = (viewPoint.y() - origin.y()) / before.height();
    if (zoom != zoom_) {
        zoom_ = zoom;
        impl_->tiles.clear();
    }
    updateScrollBars();
    const QSize after = scaledSize();
    horizontalScrollBar()->setValue(static_cast<int>(std::lround(fx * after.width() - viewPoint.x())));
    verticalScrollBar()->setValue(static_cast<int>(std::lround(fy * after.height() - viewPoint.y())));
    viewport()->update();
}

// Wheel notches and the +/- keys: zooming out stops at the fit, which then
// follows the view's size again.
void ImageControl::zoomBy(double notches, QPointF viewPoint) {
    if (shown().isNull()) return;
    const double zoom = zoom_ * std::pow(kWheelStep, notches);
    const double fit = fitZoom();
    if (notches < 0 && zoom <= fit * (1 + 1e-9))
        ZoomToFit(2);
    else
        zoomAround(zoom, viewPoint);
}

void ImageControl::showRegion(const QRect& imageRect) {
    const QImage& page = shown();
    if (page.isNull() || imageRect.isEmpty()) return;
    const QSize view = viewport()->size();
    const double third = 1.0 / (3 * std::max(static_cast<double>(imageRect.width()) / view.width(),
                                             static_cast<double>(imageRect.height()) / view.height()));
    fitted_ = false;
    const double zoom = std::clamp(std::max(third, fitZoom()), kMinZoom, kMaxZoom);
    if (zoom != zoom_) {
        zoom_ = zoom;
        impl_->tiles.clear();
    }
    // May show or hide scroll bars, and so resize the viewport: centre on the size after.
    updateScrollBars();
    const QSize scaled = scaledSize();
    const QSize after = viewport()->size();
    const QPointF centre((imageRect.left() + imageRect.width() / 2.0) * scaled.width() / page.width(),
                         (imageRect.top() + imageRect.height() / 2.0) * scaled.height() / page.height());
    horizontalScrollBar()->setValue(static_cast<int>(std::lround(centre.x() - after.width() / 2.0)));
    verticalScrollBar()->setValue(static_cast<int>(std::lround(centre.y() - after.height() / 2.0)));
    viewport()->update();
}

std::optional<QPoint> ImageControl::imagePixelAt(QPointF viewPoint) const {
    const QImage& page = shown();
    if (page.isNull()) return std::nullopt;
    const QSize scaled = scaledSize();
    const QPointF at = viewPoint - pageOrigin();
    if (at.x() < 0 || at.y() < 0 || at.x() >= scaled.width() || at.y() >= scaled.height()) return std::nullopt;
    // As painting maps display pixels to the page's.
    return QPoint(std::min(page.width() - 1, static_cast<int>(at.x() * page.width() / scaled.width())),
                  std::min(page.height() - 1, static_cast<int>(at.y() * page.height() / scaled.height())));
}

namespace {

// A ring one pixel wide just inside `outer`.
void ring(QPainter& painter, const QRect& outer, const QColor& colour) {
    painter.fillRect(QRect(outer.left(), outer.top(), outer.width(), 1), colour);
    painter.fillRect(QRect(outer.left(), outer.bottom(), outer.width(), 1), colour);
    painter.fillRect(QRect(outer.left(), outer.top(), 1, outer.height()), colour);
    painter.fillRect(QRect(outer.right(), outer.top(), 1, outer.height()), colour);
}

}  // namespace

void ImageControl::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QColor background = palette().color(QPalette::Dark);
    const QRect exposed = event->rect();
    const QImage& image = shown();
    if (image.isNull()) {
        painter.fillRect(exposed, background);
        return;
    }
    const QSize scaled = scaledSize();
    const QPoint origin = pageOrigin();
    const QRect page(origin, scaled);
    for (const QRect& r : QRegion(exposed) - QRegion(page)) painter.fillRect(r, background);
    const QRect visible = (exposed & page).translated(-origin);
    if (!visible.isEmpty()) {
        for (int row = visible.top() / kTile; row <= visible.bottom() / kTile; ++row)
            for (int column = visible.left() / kTile; column <= visible.right() / kTile; ++column)
                painter.drawImage(origin + QPoint(column * kTile, row * kTile), impl_->tile(image, scaled, column, row));
    }
    if (highlight_ && !highlight_->isEmpty()) {
        // Black beside the region, yellow outside it: one of the two stands
        // out on paper, on ink and on every region colour.
        const double sx = static_cast<double>(scaled.width()) / image.width();
        const double sy = static_cast<double>(scaled.height()) / image.height();
        const QRect& r = *highlight_;
        const int left = origin.x() + static_cast<int>(std::floor(r.left() * sx));
        const int top = origin.y() + static_cast<int>(std::floor(r.top() * sy));
        const int right = origin.x() + static_cast<int>(std::ceil((r.right() + 1) * sx));  // exclusive
        const int bottom = origin.y() + static_cast<int>(std::ceil((r.bottom() + 1) * sy));
        const QRect inner = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)).adjusted(-1, -1, 1, 1);
        ring(painter, inner, Qt::black);
        ring(painter, inner.adjusted(-1, -1, 1, 1), QColor(255, 230, 0));
    }
}

void ImageControl::resizeEvent(QResizeEvent* /*event*/) {
    if (fitted_)
        ZoomToFit(2);
    else
        updateScrollBars();
}

void ImageControl::wheelEvent(QWheelEvent* event) {
    const int delta = event->angleDelta().y();
    if (delta == 0 || shown().isNull()) {
        event->ignore();
        return;
    }
    zoomBy(delta / 120.0, event->position());
    event->accept();
}

void ImageControl::keyPressEvent(QKeyEvent* event) {
    const QPointF centre = QRectF(viewport()->rect()).center();
    switch (event->key()) {
    case Qt::Key_F:
        ZoomToFit(2);
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomBy(1, centre);
        break;
    case Qt::Key_Minus:
        zoomBy(-1, centre);
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void ImageControl::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    impl_->dragging = true;
    impl_->dragLast = event->position().toPoint();
    viewport()->setCursor(Qt::ClosedHandCursor);
    event->accept();
}

void ImageControl::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !imagePixelAt(event->position())) {
        event->ignore();
        return;
    }
    ZoomToFit(2);
    event->accept();
}

void ImageControl::mouseMoveEvent(QMouseEvent* event) {
    if (impl_->dragging) {
        const QPoint at = event->position().toPoint();
        const QPoint moved = at - impl_->dragLast;
        impl_->dragLast = at;
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() - moved.x());
        verticalScrollBar()->setValue(verticalScrollBar()->value() - moved.y());
    }
    hoverAt(event->position());
    event->accept();
}

void ImageControl::hoverAt(QPointF viewPoint) {
    if (const std::optional<QPoint> pixel = imagePixelAt(viewPoint)) {
        impl_->hovering = true;
        emit pixelHovered(*pixel);
    } else if (std::exchange(impl_->hovering, false)) {
        emit hoverLeft();
    }
}

void ImageControl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !impl_->dragging) {
        event->ignore();
        return;
    }
    impl_->dragging = false;
    viewport()->unsetCursor();
    event->accept();
}

bool ImageControl::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Leave && std::exchange(impl_->hovering, false)) emit hoverLeft();
    return QAbstractScrollArea::viewportEvent(event);
}

void ImageControl::scrollContentsBy(int /*dx*/, int /*dy*/) { viewport()->update(); }

}  // namespace corvanel::imaging
