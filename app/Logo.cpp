#include "app/Logo.h"

#include "app/Look.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

#include <array>
#include <random>

namespace corvanel::app {
namespace {

// A word of handwriting: arches of letter height with an occasional ascender,
// from x0 to x1 on `baseline`. Seeded, so the logo is the same every time.
QPainterPath scribble(qreal x0, qreal x1, qreal baseline, qreal height, std::minstd_rand& random) {
    std::uniform_real_distribution<qreal> step(0.45, 0.8);
    std::bernoulli_distribution ascender(0.2);
    QPainterPath path(QPointF(x0, baseline));
    qreal x = x0;
    while (x < x1) {
        const qreal w = height * step(random) * 1.4;
        const qreal h = ascender(random) ? height * 1.9 : height;
        path.cubicTo(x + w * 0.9, baseline - h, x - w * 0.1, baseline - h, x + w * 0.5, baseline);
        x += w;
    }
    return path;
}

// A page sheet with words boxed in the overlay colours, as the viewer shows them.
void drawPage(QPainter& p, const QRectF& sheet, int rows, qreal letterHeight, std::uint32_t seed) {
    std::minstd_rand random(seed);
    const qreal fold = sheet.width() * 0.18;
    QPainterPath outline(sheet.topLeft());
    outline.lineTo(sheet.right() - fold, sheet.top());
    outline.lineTo(sheet.right(), sheet.top() + fold);
    outline.lineTo(sheet.bottomRight());
    outline.lineTo(sheet.bottomLeft());
    outline.closeSubpath();
    p.fillPath(outline.translated(1.5, 1.5), QColor(0, 0, 60, 60));
    p.fillPath(outline, Qt::white);
    p.setPen(QPen(QColor(90, 100, 130), 1.0));
    p.drawPath(outline);
    p.drawPolyline(std::array{QPointF(sheet.right() - fold, sheet.top()),
                              QPointF(sheet.right() - fold, sheet.top() + fold),
                              QPointF(sheet.right(), sheet.top() + fold)}
                       .data(),
                   3);

    const std::array<QColor, 4> boxes{colours::aqua, colours::lime, colours::yellow, QColor(255, 120, 120)};
    std::uniform_real_distribution<qreal> gap(0.15, 0.3);
    const qreal margin = sheet.width() * 0.12;
    const qreal pitch = (sheet.height() - 2 * margin) / rows;
    for (int row = 0; row < rows; ++row) {
        const qreal baseline = sheet.top() + margin + pitch * (row + 0.75);
        qreal x = sheet.left() + margin;
        const qreal end = sheet.right() - margin;
        while (x < end - letterHeight * 2) {
            const qreal wordEnd = std::min(end, x + sheet.width() * (0.22 + gap(random)));
            QColor box = boxes[static_cast<std::size_t>(row) % boxes.size()];
            box.setAlpha(150);
            const QRectF area(x - 1, baseline - letterHeight * 2.1, wordEnd - x + 2, letterHeight * 2.6);
            p.fillRect(area, box);
            p.setPen(QPen(QColor(20, 30, 70), letterHeight * 0.32, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPath(scribble(x, wordEnd - letterHeight * 0.6, baseline, letterHeight, random));
            x = wordEnd + letterHeight * 1.4;
        }
    }
}

QFont fittingFont(const QString& text, int pixelSize, bool bold, qreal width) {
    QFont font = pixelFont({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans")},
                           pixelSize, bold);
    while (font.pixelSize() > 6 && QFontMetricsF(font).horizontalAdvance(text) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

}  // namespace

QImage drawLogo() {
    QImage image(189, 89, QImage::Format_RGB888);
    // The corners outside the badge take the window colour it is shown on.
    image.fill(QGuiApplication::palette().color(QPalette::Window));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF badge(0.5, 0.5, 188, 88);
    QLinearGradient fill(badge.topLeft(), badge.bottomLeft());
    fill.setColorAt(0, Qt::white);
    fill.setColorAt(1, colours::skyBlue);
    p.setPen(QPen(colours::navy, 1.0));
    p.setBrush(fill);
    p.drawRoundedRect(badge, 9, 9);

    drawPage(p, QRectF(11, 10, 50, 68), 4, 3.2, 7);

    const qreal textLeft = 71;
    const qreal textWidth = badge.right() - textLeft - 7;
    const QString name = QStringLiteral("Corvanel");
    const QFont nameFont = fittingFont(name, 26, true, textWidth);
    p.setFont(nameFont);
    p.setPen(colours::navy);
    p.drawText(QPointF(textLeft, 44), name);

    p.setPen(QPen(colours::navy, 1.0));
    p.drawLine(QPointF(textLeft, 51.5), QPointF(textLeft + textWidth, 51.5));

    const QString line1 = QStringLiteral("handwriting");
    const QString line2 = QStringLiteral("segmentation");
    const QFont smallFont = fittingFont(line2, 12, false, textWidth);
    p.setFont(smallFont);
    p.setPen(QColor(40, 50, 90));
    p.drawText(QPointF(textLeft, 66), line1);
    p.drawText(QPointF(textLeft, 79), line2);
    return image;
}

QImage drawIcon() {
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colours::navy, 1.0));
    p.setBrush(colours::skyBlue);
    p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 5, 5);
    drawPage(p, QRectF(6, 3, 20, 26), 3, 1.6, 3);
    return image;
}

}  // namespace corvanel::app
