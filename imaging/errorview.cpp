#include "imaging/errorview.h"

#include <algorithm>
#include <array>
#include <cstring>

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

ErrorViewPainter::ErrorViewPainter(const QImage& page, PageSize size, const PageDiagnosis& diagnosis)
    : diagnosis_(diagnosis), out_(size.width, size.height, QImage::Format_Indexed8) {
    if (out_.isNull()) return;
    out_.setColorTable(errorPalette());
    if (page.size() != out_.size()) {
        out_.fill(kPaper);
        return;
    }
    if (page.format() == QImage::Format_Mono || page.format() == QImage::Format_MonoLSB) {
        page_ = page.convertToFormat(QImage::Format_Mono);
        // The darker entry is the ink, whatever its index.
        inkBit_ = qGray(page_.color(1)) < qGray(page_.color(0)) ? 1 : 0;
    } else {
        page_ = page.convertToFormat(QImage::Format_Grayscale8);
    }
    for (int y = 0; y < out_.height(); ++y) inkRow(y);
}

// The faded page, before any region is painted over it.
void ErrorViewPainter::inkRow(int y) {
    uchar* o = out_.scanLine(y);
    const int width = out_.width();
    if (page_.format() == QImage::Format_Mono) {
        // The eight output bytes of each byte of bits.
        static const auto spread = [] {
            std::array<std::array<uchar, 8>, 256> t{};
            for (int b = 0; b < 256; ++b)
                for (int k = 0; k < 8; ++k) t[static_cast<std::size_t>(b)][static_cast<std::size_t>(k)] = (b >> (7 - k)) & 1 ? kFadedInk : kPaper;
            return t;
        }();
        const uchar* bits = page_.constScanLine(y);
        const uchar flip = inkBit_ ? 0x00 : 0xFF;
        const int whole = width / 8;
        for (int i = 0; i < whole; ++i) std::memcpy(o + 8 * i, spread[bits[i] ^ flip].data(), 8);
        for (int x = whole * 8; x < width; ++x) o[x] = spread[bits[x >> 3] ^ flip][static_cast<std::size_t>(x & 7)];
    } else {
        const uchar* grey = page_.constScanLine(y);
        for (int x = 0; x < width; ++x) o[x] = grey[x] < 128 ? kFadedInk : kPaper;
    }
}

void ErrorViewPainter::add(const std::int32_t* gt, const std::int32_t* rs, std::size_t n) {
    if (out_.isNull()) return;
    const auto width = static_cast<std::size_t>(out_.width());
    const std::size_t total = width * static_cast<std::size_t>(out_.height());
    n = std::min(n, total - std::min(total, fed_));
    constexpr auto kMatched = static_cast<std::uint8_t>(RegionStatus::One2One);
    // Labels come in runs: remember the last one looked up on each side.
    auto statusOf = [](std::int32_t label, std::int32_t& last, std::uint8_t& status, auto find) {
        if (label != last) {
            last = label;
            const std::optional<RegionDiagnosis> r = label != 0 ? find(label) : std::nullopt;
            status = r ? static_cast<std::uint8_t>(r->status) : kNone;
        }
        return status;
    };
    const auto findGt = [this](std::int32_t l) { return diagnosis_.findGt(l); };
    const auto findRs = [this](std::int32_t l) { return diagnosis_.findResult(l); };
    for (std::size_t i = 0; i < n;) {
        const std::size_t x0 = (fed_ + i) % width;
        uchar* o = out_.scanLine(static_cast<int>((fed_ + i) / width));
        const std::size_t rowEnd = std::min(n, i + (width - x0));
        for (std::size_t x = x0; i < rowEnd; ++i, ++x) {
            // Background: eight pixels at a time while both maps are empty.
            if (i + 8 <= rowEnd) {
                std::int32_t any = 0;
                for (std::size_t k = 0; k < 8; ++k) any |= gt[i + k] | rs[i + k];
                if (any == 0) {
                    i += 7;
                    x += 7;
                    continue;
                }
            }
            if ((gt[i] | rs[i]) == 0) continue;
            std::uint8_t s = statusOf(gt[i], lastGt_, gtStatus_, findGt);
            if (s == kNone || s == kMatched) {
                const std::uint8_t sr = statusOf(rs[i], lastRs_, rsStatus_, findRs);
                if (sr != kNone && (s == kNone || sr != kMatched)) s = sr;
            }
            if (s == kNone) continue;  // a label the diagnosis does not know
            // Without a page picture every labelled pixel counts as ink.
            o[x] = static_cast<uchar>(2 + 2 * s + (o[x] == kPaper && !page_.isNull() ? 1 : 0));
        }
    }
    fed_ += n;
}

QImage paintErrorView(const QImage& page, const LabelMap& gt, const LabelMap& rs, const PageDiagnosis& diagnosis) {
    ErrorViewPainter painter(page, gt.size(), diagnosis);
    painter.add(gt.data(), rs.data(), std::min(gt.pixelCount(), rs.pixelCount()));
    return painter.finish();
}

}  // namespace corvanel::imaging
