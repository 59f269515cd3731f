#include "LabeledEdit.h"

#include <QLabel>

namespace corvanel::app {

LabeledEdit::LabeledEdit(const QString& name, const QString& caption, LabelPosition position,
                         const QRect& geometry, QWidget* parent)
    : QLineEdit(parent), label_(new QLabel(caption, parent)), position_(position) {
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
}

LabeledEdit::~LabeledEdit() { delete label_; }

QString LabeledEdit::caption() const { return label_ ? label_->text() : QString(); }

void LabeledEdit::setVisible(bool visible) {
    QLineEdit::setVisible(visible);
    if (label_) label_->setVisible(visible);
}

void LabeledEdit::moveEvent(QMoveEvent* event) {
    QLineEdit::moveEvent(event);
    placeLabel();
}

void LabeledEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    placeLabel();
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

}  // namespace corvanel::app
