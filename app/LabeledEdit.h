#pragma once

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QString>

namespace corvanel::app {

// A one-line edit field with its caption attached 3 px away: above it and
// left-aligned, or to its left and centred on its height. The widget's
// geometry is the edit's alone; the caption is a sibling label that follows
// the edit's place and visibility.
//
// The field shows its whole text: where its width cannot hold the text at
// its normal font, the font shrinks (down to smallestPixelSize) and then the
// inner margins give way; the field's place and size never change.
class LabeledEdit : public QLineEdit {
    Q_OBJECT
public:
    enum class LabelPosition { Above, Left };

    static constexpr int labelSpacing = 3;
    static constexpr int smallestPixelSize = 7;

    // `geometry` is the edit's, in `parent`, which must not be null: the
    // caption lives beside the edit in it.
    LabeledEdit(const QString& name, const QString& caption, LabelPosition position, const QRect& geometry,
                QWidget* parent);
    ~LabeledEdit() override;

    QLabel* EditLabel() const { return label_; }
    QString caption() const;
    LabelPosition labelPosition() const { return position_; }

    void setVisible(bool visible) override;

    // On by default. Off: the normal font and margins, and long texts scroll.
    void setFitText(bool on);
    bool fitText() const { return fitText_; }
    // Whether the current text's advance fits the width left for text at the
    // current font and margins.
    bool textFits() const;

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void placeLabel();
    void fit();
    int textWidth(const QFont& font) const;
    int contentsWidth() const;
    int roomFor(int give) const;
    int largestGive() const;
    void apply(int pixelSize, int give);

    QPointer<QLabel> label_;
    LabelPosition position_;
    bool fitText_ = true;
    bool adjusting_ = false;  // the font and margin changes are our own
    // The font the field has without fitting, and whether it came from the parent.
    QFont normalFont_;
    bool inheritsFont_ = true;
    int appliedSize_ = 0;  // the pixel size fitting set; 0: the normal font
    int give_ = 0;         // pixels of inner margin given up on each side
};

}  // namespace corvanel::app
