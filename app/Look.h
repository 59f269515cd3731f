#pragma once

// The windows' colours and fonts.

#include <QColor>
#include <QFont>
#include <QStringList>

namespace corvanel::app {

namespace colours {
inline const QColor aqua{0, 255, 255};
inline const QColor lime{0, 255, 0};
inline const QColor yellow{255, 255, 0};
inline const QColor red{255, 0, 0};
inline const QColor navy{0, 0, 128};
inline const QColor silver{192, 192, 192};
inline const QColor skyBlue{166, 202, 240};
}  // namespace colours

// "MS Sans Serif" first; where it is missing, an Arial-like sans keeps the
// captions about as wide as the fixed control sizes expect.
inline QStringList formFamilies() {
    return {QStringLiteral("MS Sans Serif"), QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
            QStringLiteral("Nimbus Sans")};
}

inline QFont pixelFont(const QStringList& families, int pixelSize, bool bold = false) {
    QFont font;
    font.setFamilies(families);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// The font of both windows and every control that has none of its own.
inline QFont formFont() { return pixelFont(formFamilies(), 11); }

}  // namespace corvanel::app
