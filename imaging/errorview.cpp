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

// An 8-bit picture of `size` in `palette`: the page's ink as kFadedInk on
// kPaper, or all paper when the page is of another size (`drawn` false).
QImage fadedPage(const QImage& page, PageSize size, const QList<QRgb>& palette, bool& drawn) {
    drawn = false;
    QImage out(size.width, size.height, QImage::Format_Indexed8);
    if (out.isNull()) return out;
    out.setColorTable(palette);
    if (page.size() != out.size()) {
        out.fill(kPaper);
        return out;
    }
    drawn = true;
    const int width = out.width();
    if (page.format() == QImage::Format_Mono || page.format() == QImage::Format_MonoLSB) {
        const QImage mono = page.convertToFormat(QImage::Format_Mono);
        // The darker entry is the ink, whatever its index.
        const uchar flip = qGray(mono.color(1)) < qGray(mono.color(0)) ? 0x00 : 0xFF;
        // The eight output bytes of each byte of bits.
        static const auto spread = [] {
            std::array<std::array<uchar, 8>, 256> t{};
            for (int b = 0; b < 256; ++b)
                for (int k = 0; k < 8; ++k) t[static_cast<std::size_t>(b)][static_cast<std::size_t>(k)] = (b >> (7 - k)) & 1 ? kFadedInk : kPaper;
            return t;
        }();
        const int whole = width / 8;
        for (int y = 0; y < out.height(); ++y) {
            uchar* o = out.scanLine(y);
            const uchar* bits = mono.constScanLine(y);
            for (int i = 0; i < whole; ++i) std::memcpy(o + 8 * i, spread[bits[i] ^ flip].data(), 8);
            for (int x = whole * 8; x < width; ++x) o[x] = spread[bits[x >> 3] ^ flip][static_cast<std::size_t>(x & 7)];
        }
    } else {
        const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
        for (int y = 0; y < out.height(); ++y) {
            uchar* o = out.scanLine(y);
            const uchar* g = grey.constScanLine(y);
            for (int x = 0; x < width; ++x) o[x] = g[x] < 128 ? kFadedInk : kPaper;
        }
    }
    return out;
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
    : diagnosis_(diagnosis), out_(fadedPage(page, size, errorPalette(), drawn_)) {}

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
            o[x] = static_cast<uchar>(2 + 2 * s + (o[x] == kPaper && drawn_ ? 1 : 0));
        }
    }
    fed_ += n;
}

QImage paintErrorView(const QImage& page, const LabelMap& gt, const LabelMap& rs, const PageDiagnosis& diagnosis) {
    ErrorViewPainter painter(page, gt.size(), diagnosis);
    painter.add(gt.data(), rs.data(), std::min(gt.pixelCount(), rs.pixelCount()));
    return painter.finish();
}

MatchDifference matchDifference(const PageDiagnosis& first, const PageDiagnosis& second) {
    MatchDifference d;
    const auto one2one = [](const std::optional<RegionDiagnosis>& r) { return r && r->status == RegionStatus::One2One; };
    for (const RegionDiagnosis& r : first.gt())
        if ((r.status == RegionStatus::One2One) != one2one(second.findGt(r.label)))
            (r.status == RegionStatus::One2One ? d.firstOnly : d.secondOnly).push_back(r.label);
    // Regions only the second knows: none when both read the same ground truth.
    for (const RegionDiagnosis& r : second.gt())
        if (r.status == RegionStatus::One2One && !first.findGt(r.label)) d.secondOnly.push_back(r.label);
    std::sort(d.secondOnly.begin(), d.secondOnly.end());
    return d;
}

QRgb comparisonColour(bool first) { return first ? qRgb(0, 114, 178) : qRgb(230, 159, 0); }

QImage paintComparisonView(const QImage& page, const LabelMap& gt, const MatchDifference& difference) {
    const QRgb a = comparisonColour(true), b = comparisonColour(false);
    bool drawn = false;
    QImage out = fadedPage(page, gt.size(), {qRgb(255, 255, 255), qRgb(185, 185, 185), a, tint(a), b, tint(b)}, drawn);
    if (out.isNull()) return out;
    // 2 the first's colour, 4 the second's, 0 neither; labels come in runs.
    const auto colourOf = [&](std::int32_t label) -> std::uint8_t {
        if (std::binary_search(difference.firstOnly.begin(), difference.firstOnly.end(), label)) return 2;
        if (std::binary_search(difference.secondOnly.begin(), difference.secondOnly.end(), label)) return 4;
        return 0;
    };
    std::int32_t last = 0;
    std::uint8_t colour = 0;
    const auto width = static_cast<std::size_t>(out.width());
    for (int y = 0; y < out.height(); ++y) {
        const std::int32_t* labels = gt.data() + static_cast<std::size_t>(y) * width;
        uchar* o = out.scanLine(y);
        for (std::size_t x = 0; x < width; ++x) {
            if (labels[x] == 0) continue;
            if (labels[x] != last) {
                last = labels[x];
                colour = colourOf(last);
            }
            if (colour != 0) o[x] = static_cast<uchar>(colour + (o[x] == kPaper && drawn ? 1 : 0));
        }
    }
    return out;
}

}  // namespace corvanel::imaging
