#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QString>

namespace corvanel::app {

// A one-line edit field with its caption attached 3 px away: above it and
// left-aligned, or to its left and centred on its height. The widget's
// geometry is the edit's alone; the caption is a sibling label that follows
// the edit's place and visibility.
class LabeledEdit : public QLineEdit {
    Q_OBJECT
public:
    enum class LabelPosition { Above, Left };

    static constexpr int labelSpacing = 3;

    // `geometry` is the edit's, in `parent`, which must not be null: the
    // caption lives beside the edit in it.
    LabeledEdit(const QString& name, const QString& caption, LabelPosition position, const QRect& geometry,
                QWidget* parent);
    ~LabeledEdit() override;

    QLabel* EditLabel() const { return label_; }
    QString caption() const;
    LabelPosition labelPosition() const { return position_; }

    void setVisible(bool visible) override;

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeLabel();

    QPointer<QLabel> label_;
    LabelPosition position_;
};

}  // namespace corvanel::app
