#include "errorview.h"

#include <array>
#include <cstdint>

namespace corvanel::imaging {

namespace {

constexpr std::uint8_t kPaper = 0;
constexpr std::uint8_t kFadedInk = 1;
// Status s shows as index 2 + 2s on ink and 3 + 2s on paper.
constexpr std::uint8_t kNone = 0xFF;

QRgb tint(QRgb c) {
    auto mix = [](int ch) { return (ch * 35 + 255 * 65) / 100; };
    return qRgb(mix(qRed(c)), mix(qGreen(c)), mix(qBlue(c)));
}

QList<QRgb> errorPalette() {
    QList<QRgb> p{qRgb(255, 255, 255), qRgb(185, 185, 185)};
    for (int s = 0; s < kRegionStatusCount; ++s) {
        const QRgb c = statusColour(static_cast<RegionStatus>(s));
        p << c << tint(c);
    }
    return p;
}

// The ink of the page, one byte per pixel (1 ink, 0 paper), row `y`.
class InkRows {
public:
    explicit InkRows(const QImage& page) {
        if (page.format() == QImage::Format_Mono || page.format() == QImage::Format_MonoLSB) {
            mono_ = page.convertToFormat(QImage::Format_Mono);
            // The darker entry is the ink, whatever its index.
            const int g0 = qGray(mono_.color(0)), g1 = qGray(mono_.color(1));
            inkBit_ = g1 < g0 ? 1 : 0;
        } else {
            grey_ = page.convertToFormat(QImage::Format_Grayscale8);
        }
    }
    bool valid() const { return !mono_.isNull() || !grey_.isNull(); }
    void row(int y, int width, std::uint8_t* out) const {
        if (!mono_.isNull()) {
            const uchar* bits = mono_.constScanLine(y);
            for (int x = 0; x < width; ++x) out[x] = ((bits[x >> 3] >> (7 - (x & 7))) & 1) == inkBit_;
        } else {
            const uchar* grey = grey_.constScanLine(y);
            for (int x = 0; x < width; ++x) out[x] = grey[x] < 128;
        }
    }

private:
    QImage mono_, grey_;
    int inkBit_ = 1;
};

// Status of a label's region, remembering the last label asked for: labels
// come in runs.
template <class Find>
class StatusOf {
public:
    explicit StatusOf(Find find) : find_(find) {}
    std::uint8_t operator()(std::int32_t label) {
        if (label != last_) {
            last_ = label;
            const RegionDiagnosis* r = label != 0 ? find_(label) : nullptr;
            status_ = r ? static_cast<std::uint8_t>(r->status) : kNone;
        }
        return status_;
    }

private:
    Find find_;
    std::int32_t last_ = 0;
    std::uint8_t status_ = kNone;
};

}  // namespace

QRgb statusColour(RegionStatus status) {
    switch (status) {
    case RegionStatus::One2One: return qRgb(0, 158, 115);
    case RegionStatus::Split: return qRgb(230, 159, 0);
    case RegionStatus::Merged: return qRgb(204, 121, 167);
    case RegionStatus::Missed: return qRgb(213, 94, 0);
    case RegionStatus::FalseAlarm: return qRgb(0, 114, 178);
    }
    return qRgb(0, 0, 0);
}

QImage paintErrorView(const QImage& page, const LabelMap& gt, const LabelMap& rs, const PageDiagnosis& d) {
    const int width = gt.width();
    const int height = gt.height();
    QImage out(width, height, QImage::Format_Indexed8);
    if (out.isNull()) return out;
    out.setColorTable(errorPalette());
    const InkRows ink(page);
    const bool pageFits = ink.valid() && page.width() == width && page.height() == height;
    std::vector<std::uint8_t> inkRow(static_cast<std::size_t>(width), 0);

    StatusOf gtStatus([&d](std::int32_t l) { return d.findGt(l); });
    StatusOf rsStatus([&d](std::int32_t l) { return d.findResult(l); });
    constexpr auto kMatched = static_cast<std::uint8_t>(RegionStatus::One2One);
    for (int y = 0; y < height; ++y) {
        if (pageFits) ink.row(y, width, inkRow.data());
        const std::int32_t* g = gt.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        const std::int32_t* r = rs.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        uchar* o = out.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t onInk = inkRow[static_cast<std::size_t>(x)];
            if ((g[x] | r[x]) == 0) {
                o[x] = onInk ? kFadedInk : kPaper;
                continue;
            }
            std::uint8_t s = gtStatus(g[x]);
            if (s == kNone || s == kMatched) {
                const std::uint8_t sr = rsStatus(r[x]);
                if (sr != kNone && (s == kNone || sr != kMatched)) s = sr;
            }
            // Without a page picture every labelled pixel counts as ink.
            o[x] = static_cast<uchar>(2 + 2 * s + (pageFits && !onInk ? 1 : 0));
        }
    }
    return out;
}

std::string errorImageName(const std::string& pageName, Level level) {
    return pageName + (level == Level::Words ? ".words" : ".lines") + ".errors.png";
}

}  // namespace corvanel::imaging
