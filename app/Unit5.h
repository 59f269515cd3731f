#pragma once

#include <QDialog>

class QLabel;

namespace corvanel::app {

// The About window: title, credits and logo. Created hidden, shown as the
// splash and modally from "About"; closing only hides it.
class TForm5 : public QDialog {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);

    static constexpr int clientWidth = 607;
    static constexpr int clientHeight = 402;
    // The title as laid out; its CR LF pairs are shown as line breaks.
    static const QString titleText;

    QLabel* Label1;  // title
    QLabel* Label3;  // credits
    QLabel* Image1;  // logo

    // Centres the window on the screen at its first showing only; later
    // showings open where the user left it.
    void setVisible(bool visible) override;

private:
    bool placed_ = false;
};

}  // namespace corvanel::app
