#include "app/LabeledEdit.h"

#include <QEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <cmath>

namespace corvanel::app {

namespace {

// QLineEdit keeps this many pixels between its contents rectangle and the text.
constexpr int kLineEditMargin = 2;

int pixelSizeOf(const QFont& font) { return font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize(); }

}  // namespace

LabeledEdit::LabeledEdit(const QString& name, const QString& caption, LabelPosition position,
                         const QRect& geometry, QWidget* parent)
    : QLineEdit(parent), label_(new QLabel(caption, parent)), position_(position), normalFont_(font()),
      inheritsFont_(!testAttribute(Qt::WA_SetFont)) {
    setObjectName(name);
    setAccessibleName(caption);
    label_->setObjectName(name + QStringLiteral("_EditLabel"));
    label_->setTextFormat(Qt::PlainText);
    label_->setBuddy(this);
    label_->adjustSize();
    // A hidden widget gets its move and resize events only when shown, so
    // place the caption now as well.
    setGeometry(geometry);
    placeLabel();
    connect(this, &QLineEdit::textChanged, this, &LabeledEdit::fit);
}

LabeledEdit::~LabeledEdit() { delete label_; }

QString LabeledEdit::caption() const { return label_ ? label_->text() : QString(); }

void LabeledEdit::setVisible(bool visible) {
    QLineEdit::setVisible(visible);
    if (label_) label_->setVisible(visible);
}

void LabeledEdit::setFitText(bool on) {
    fitText_ = on;
    fit();
}

bool LabeledEdit::textFits() const {
    const QMargins margins = textMargins();
    return textWidth(font()) <= contentsWidth() - margins.left() - margins.right() - 2 * kLineEditMargin;
}

void LabeledEdit::moveEvent(QMoveEvent* event) {
    QLineEdit::moveEvent(event);
    placeLabel();
}

void LabeledEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    placeLabel();
    fit();
}

void LabeledEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange && !adjusting_) {
        // A parent's change that leaves our shrunk font as it was is no new normal font.
        if (appliedSize_ != 0) {
            QFont shrunk = normalFont_;
            shrunk.setPixelSize(appliedSize_);
            if (font() == shrunk) return;
        }
        normalFont_ = font();
        inheritsFont_ = !testAttribute(Qt::WA_SetFont);
        appliedSize_ = 0;
        fit();
    } else if (event->type() == QEvent::StyleChange) {
        fit();
    }
}

void LabeledEdit::placeLabel() {
    if (!label_) return;
    const QRect edit = geometry();
    const QSize size = label_->size();
    if (position_ == LabelPosition::Above)
        label_->move(edit.left(), edit.top() - labelSpacing - size.height());
    else
        label_->move(edit.left() - labelSpacing - size.width(), edit.top() + (edit.height() - size.height()) / 2);
}

// The text's advance plus the cursor's pixel, as QLineEdit measures what fits.
int LabeledEdit::textWidth(const QFont& font) const {
    return static_cast<int>(std::ceil(QFontMetricsF(font, this).horizontalAdvance(text()))) + 1;
}

// The width of the style's contents rectangle, inside the frame.
int LabeledEdit::contentsWidth() const {
    QStyleOptionFrame option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_LineEditContents, &option, this).width();
}

// The width for text when the inner margins give up `give` pixels on each side.
int LabeledEdit::roomFor(int give) const { return contentsWidth() + 2 * give - 2 * kLineEditMargin; }

// The text may reach the frame's outer line, which stays visible.
int LabeledEdit::largestGive() const {
    const int frame = (width() - contentsWidth()) / 2;
    return std::max(0, kLineEditMargin + frame - 1);
}

void LabeledEdit::fit() {
    if (adjusting_) return;
    const int normal = pixelSizeOf(normalFont_);
    if (!fitText_) {
        apply(normal, 0);
        return;
    }
    const auto sized = [this](int size) {
        QFont font = normalFont_;
        font.setPixelSize(size);
        return font;
    };
    const int floor = std::min(normal, smallestPixelSize);
    // The font gives way first; the margins only where the smallest font is still too wide.
    int size = normal, give = 0;
    while (size > floor && textWidth(sized(size)) > roomFor(0)) --size;
    if (textWidth(sized(size)) > roomFor(0)) {
        const int most = largestGive();
        size = normal;
        while (size > floor && textWidth(sized(size)) > roomFor(most)) --size;
        const int needed = textWidth(sized(size));
        while (give < most && needed > roomFor(give)) ++give;
    }
    apply(size, give);
    // Read-only fields show the start of their text; an edited one keeps its cursor.
    if (isReadOnly()) setCursorPosition(0);
}

void LabeledEdit::apply(int pixelSize, int give) {
    adjusting_ = true;
    const int normal = pixelSizeOf(normalFont_);
    if (pixelSize == normal) {
        if (appliedSize_ != 0) setFont(inheritsFont_ ? QFont() : normalFont_);
        appliedSize_ = 0;
    } else if (pixelSize != appliedSize_) {
        QFont font = normalFont_;
        font.setPixelSize(pixelSize);
        setFont(font);
        appliedSize_ = pixelSize;
    }
    if (give != give_) {
        setTextMargins(-give, 0, -give, 0);
        give_ = give;
    }
    adjusting_ = false;
}

}  // namespace corvanel::app
