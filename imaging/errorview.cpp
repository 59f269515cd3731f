#include "imaging/errorview.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

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

// A narrower picture would leave the legend's text no room.
constexpr int kMinLegendWidth = 360;
constexpr int kGreys = 16;  // black to white, for the legend's text

QString legendName(RegionStatus status) {
    return QString::fromLatin1(statusName(status).data(), static_cast<qsizetype>(statusName(status).size()))
        .replace('_', ' ');
}

}  // namespace

QFont pictureFont(int pixels, bool bold) {
    QFont font;
    font.setFamilies({"Liberation Sans", "Arial", "Helvetica"});
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

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

StatusCounts statusCounts(const PageDiagnosis& diagnosis) {
    StatusCounts counts;
    for (const RegionDiagnosis& r : diagnosis.gt()) ++counts.gt[static_cast<std::size_t>(r.status)];
    for (const RegionDiagnosis& r : diagnosis.result()) ++counts.result[static_cast<std::size_t>(r.status)];
    return counts;
}

QImage withLegend(const QImage& view, const StatusCounts& counts, const QString& caption) {
    if (view.isNull() || view.format() != QImage::Format_Indexed8) return {};
    const int width = std::max(view.width(), kMinLegendWidth);
    // Text that stays readable when the page is shown whole on a screen.
    const int px = std::clamp(width / 52, 13, 120);
    const QFont font = pictureFont(px, false), bold = pictureFont(px, true);
    const QFontMetrics plain(font), strong(bold);
    const int pad = std::max(6, px / 2), gap = px, swatch = (px * 3 + 2) / 4, afterSwatch = std::max(3, px / 3);
    const int rule = std::max(1, px / 12), lineHeight = plain.lineSpacing(), room = width - 2 * pad;

    // The legend's entries, flowed into lines; a side's name stays with its first entry.
    struct Entry {
        QString text;
        int status = -1;  // a side's name
        int width = 0, x = 0, line = 0;
    };
    std::vector<Entry> entries{{"Ground truth:"}};
    for (const RegionStatus s : {RegionStatus::One2One, RegionStatus::Split, RegionStatus::Merged, RegionStatus::Missed}) {
        const std::int64_t n = counts.gt[static_cast<std::size_t>(s)];
        entries.push_back({legendName(s) + " " + QString::number(n), static_cast<int>(s)});
    }
    entries.push_back({"Result:"});
    constexpr auto kFalseAlarm = static_cast<std::size_t>(RegionStatus::FalseAlarm);
    entries.push_back({legendName(RegionStatus::FalseAlarm) + " " + QString::number(counts.result[kFalseAlarm]),
                       static_cast<int>(kFalseAlarm)});
    for (Entry& e : entries) e.width = (e.status >= 0 ? swatch + afterSwatch : 0) + plain.horizontalAdvance(e.text);
    int x = 0, line = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Entry& e = entries[i];
        const int before = x == 0 ? 0 : e.status < 0 ? 2 * gap : gap;
        const int needs = e.status < 0 && i + 1 < entries.size() ? e.width + gap + entries[i + 1].width : e.width;
        if (x > 0 && x + before + needs > room) {
            ++line;
            x = 0;
        }
        e.x = x == 0 ? 0 : x + before;
        e.line = line;
        x = e.x + e.width;
    }
    const int captionHeight = strong.boundingRect(QRect(0, 0, room, 1 << 20), Qt::TextWordWrap, caption).height();
    const int legendTop = rule + pad + captionHeight + pad / 2;
    const int stripHeight = legendTop + (line + 1) * lineHeight + pad;

    // The text drawn in grey levels, then given the picture's indices.
    QImage strip(width, stripHeight, QImage::Format_RGB32);
    if (strip.isNull()) return {};
    strip.fill(Qt::white);
    {
        QPainter p(&strip);
        p.fillRect(0, 0, width, rule, QColor(170, 170, 170));
        p.setRenderHint(QPainter::TextAntialiasing);
        p.setPen(QColor(0, 0, 0));
        p.setFont(bold);
        p.drawText(QRect(pad, rule + pad, room, captionHeight), Qt::TextWordWrap, caption);
        p.setFont(font);
        for (const Entry& e : entries) {
            const int textX = pad + e.x + (e.status >= 0 ? swatch + afterSwatch : 0);
            p.drawText(QPoint(textX, legendTop + e.line * lineHeight + plain.ascent()), e.text);
        }
    }
    QList<QRgb> greys;
    for (int g = 0; g < kGreys; ++g) {
        const int level = 255 * g / (kGreys - 1);
        greys << qRgb(level, level, level);
    }
    const QImage text = strip.convertToFormat(QImage::Format_Indexed8, greys);

    QList<QRgb> table = view.colorTable();
    const auto swatchBase = static_cast<int>(table.size());
    for (int s = 0; s < kRegionStatusCount; ++s) table << statusColour(static_cast<RegionStatus>(s));
    const auto greyBase = static_cast<int>(table.size());
    table << greys;
    QImage out(width, view.height() + stripHeight, QImage::Format_Indexed8);
    if (out.isNull()) return {};
    out.setColorTable(table);
    const auto rowBytes = static_cast<std::size_t>(view.width());
    for (int y = 0; y < view.height(); ++y) {
        uchar* o = out.scanLine(y);
        std::memcpy(o, view.constScanLine(y), rowBytes);
        std::memset(o + rowBytes, kPaper, static_cast<std::size_t>(width) - rowBytes);
    }
    for (int y = 0; y < stripHeight; ++y) {
        const uchar* t = text.constScanLine(y);
        uchar* o = out.scanLine(view.height() + y);
        for (int i = 0; i < width; ++i) o[i] = static_cast<uchar>(greyBase + t[i]);
    }
    for (const Entry& e : entries) {
        if (e.status < 0) continue;
        // Centred on the capitals' height.
        const int baseline = view.height() + legendTop + e.line * lineHeight + plain.ascent();
        const int top = baseline - (plain.capHeight() + swatch + 1) / 2;
        for (int y = top; y < top + swatch; ++y)
            std::memset(out.scanLine(y) + pad + e.x, swatchBase + e.status, static_cast<std::size_t>(swatch));
    }
    return out;
}

}  // namespace corvanel::imaging
