#include "app/Unit5.h"

#include "app/Look.h"
#include "app/Logo.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>

namespace corvanel::app {

const QString TForm5::titleText = QStringLiteral("\r\nCorvanel\r\n Viewer - Evaluator v.2");

namespace {

const QString creditsText = QStringLiteral(
    "A viewer and evaluator for handwriting segmentation.\n"
    "\n"
    "It shows a page with the text lines or words of the ground truth,\n"
    "or of a participant's result, painted over it, and scores the result\n"
    "region by region: detection rate, recognition accuracy, F-measure.\n"
    "\n"
    "The Corvanel project\n"
    "Built with C++ and Qt");

QLabel* makeLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

}  // namespace

TForm5::TForm5(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("Form5"));
    setWindowTitle(QString());
    setFont(formFont());
    setFixedSize(clientWidth, clientHeight);
    setSizeGripEnabled(false);

    Label1 = makeLabel("Label1", this);
    Label1->setText(QString(titleText).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    Label1->setFixedHeight(121);
    Label1->setAutoFillBackground(true);
    Label1->setFont(pixelFont({QStringLiteral("Arial")}, 25, true));
    QPalette titlePalette = Label1->palette();
    titlePalette.setColor(QPalette::Window, colours::skyBlue);
    titlePalette.setColor(QPalette::WindowText, colours::navy);
    Label1->setPalette(titlePalette);

    Label3 = makeLabel("Label3", this);
    Label3->setText(creditsText);
    Label3->setFont(pixelFont(formFamilies(), 16));
    Label3->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    QPalette creditsPalette = Label3->palette();
    creditsPalette.setColor(QPalette::WindowText, colours::navy);
    Label3->setPalette(creditsPalette);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(QPixmap::fromImage(drawLogo()));
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setScaledContents(false);
    Image1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    Image1->setAccessibleName(QStringLiteral("Corvanel logo"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Label1);
    layout->addWidget(Label3);
    layout->addWidget(Image1, 1);
}

void TForm5::setVisible(bool visible) {
    if (visible && !placed_) {
        placed_ = true;
        QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->geometry().center());
        move(frame.topLeft());
    }
    QDialog::setVisible(visible);
}

}  // namespace corvanel::app
