// The main window's controls: where they sit, what they say, what they start
// with, what is hidden, their colours, and how the regions dock.

#include "tests/app/app_fixture.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace corvanel::app {
namespace {

QWidget* control(TForm1& form, const char* name) {
    auto* widget = form.findChild<QWidget*>(QString::fromLatin1(name));
    if (!widget) ADD_FAILURE() << "no control " << name;
    return widget;
}

QString captionOf(QWidget* widget) {
    if (auto* field = dynamic_cast<LabeledEdit*>(widget)) return field->caption();
    if (auto* button = dynamic_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* group = dynamic_cast<QGroupBox*>(widget)) return group->title();
    if (auto* label = dynamic_cast<QLabel*>(widget)) return label->text();
    return {};
}

struct Placed {
    const char* name;
    const char* parent;
    QRect geometry;  // width -1: sized by its text
    const char* caption;
    bool hidden = false;
};

const Placed layout[] = {
    {"GroupBox1", "Panel1", {8, 8, 161, 41}, "View - Evaluate"},
    {"RadioButton1", "GroupBox1", {16, 16, 73, 17}, "Lines"},
    {"RadioButton2", "GroupBox1", {88, 16, 57, 17}, "Words"},
    {"GroupBox2", "Panel1", {176, 8, 297, 41}, "Annotated Regions"},
    {"RadioButton4", "GroupBox2", {16, 16, 73, 17}, "None"},
    {"RadioButton5", "GroupBox2", {88, 16, 105, 17}, "Ground Truth"},
    {"RadioButton6", "GroupBox2", {208, 16, 81, 17}, "Result"},
    {"GroupBox3", "Panel1", {480, 8, 169, 41}, "Draw"},
    {"CheckBox1", "GroupBox3", {21, 16, 124, 17}, "Bounding Boxes"},
    {"Button1", "Panel1", {656, 16, 97, 25}, "About"},
    {"GroupBox4", "Panel1", {944, 8, 97, 41}, "New Dat Files", true},
    {"CheckBox3", "GroupBox4", {13, 16, 76, 17}, "Read Ix,Iy", true},
    {"LabeledEdit14", "Panel2", {45, 18, 119, 21}, "Avail. Physical Memory:"},
    {"LabeledEdit3", "Panel2", {184, 18, 107, 21}, "Image Size:"},
    {"LabeledEdit1", "Panel2", {47, 54, 114, 21}, "Grounf Truth Regions:"},
    {"LabeledEdit2", "Panel2", {184, 54, 107, 21}, "Result Regions:"},
    {"Panel3", "Panel2", {7, 82, 321, 246}, ""},
    {"Button7", "Panel2", {11, 87, 310, 25}, "Evaluation"},
    {"Panel5", "Panel2", {176, 336, 153, 145}, "", true},
    {"ImagXpress7_2", "Panel2", {64, 784, 73, 89}, "", true},
    {"Panel4", "Panel3", {15, 43, 59, 72}, ""},
    {"CheckBox2", "Panel4", {3, 13, 53, 14}, "Batch"},
    {"LabeledEdit15", "Panel4", {26, 39, 27, 21}, "Im."},
    {"LabeledEdit13", "Panel3", {96, 52, 49, 21}, "MC_thres(%)"},
    {"CheckBox4", "Panel3", {181, 77, 132, 17}, "many2one - one2many", true},
    {"LabeledEdit4", "Panel3", {117, 104, 41, 21}, "N:"},
    {"LabeledEdit5", "Panel3", {117, 127, 41, 21}, "M:"},
    {"LabeledEdit6", "Panel3", {259, 97, 41, 21}, "one2one:"},
    {"LabeledEdit7", "Panel3", {259, 120, 41, 21}, "g_one2many:", true},
    {"LabeledEdit8", "Panel3", {259, 145, 41, 21}, "g_many2one:", true},
    {"LabeledEdit11", "Panel3", {259, 168, 41, 21}, "d_one2many:", true},
    {"LabeledEdit12", "Panel3", {259, 193, 41, 21}, "d_many2one:", true},
    {"LabeledEdit9", "Panel3", {119, 167, 41, 21}, "Detection Rate:"},
    {"LabeledEdit10", "Panel3", {119, 192, 41, 21}, "Recognition Accuracy:"},
    {"LabeledEdit16", "Panel3", {119, 216, 41, 21}, "FM    :"},
    {"Label1", "Panel5", {8, 16, -1, -1}, "Evaluation Weights"},
    {"Label2", "Panel5", {8, 40, -1, -1}, "one2one:"},
    {"Label3", "Panel5", {8, 63, -1, -1}, "one2many:"},
    {"Label4", "Panel5", {8, 88, -1, -1}, "many2one:"},
    {"Edit1", "Panel5", {72, 36, 33, 21}, ""},
    {"Edit2", "Panel5", {72, 60, 33, 21}, ""},
    {"Edit3", "Panel5", {72, 84, 33, 21}, ""},
    {"Label5", "Panel5", {104, 40, -1, -1}, "%"},
    {"Label6", "Panel5", {104, 64, -1, -1}, "%"},
    {"Label7", "Panel5", {104, 87, -1, -1}, "%"},
};

TEST_F(MainWindowTest, EveryControlSitsInItsContainerWithItsCaptionAndVisibility) {
    open({});
    for (const Placed& p : layout) {
        SCOPED_TRACE(p.name);
        QWidget* widget = control(*form, p.name);
        if (!widget) continue;
        EXPECT_EQ(widget->parentWidget()->objectName(), QString::fromLatin1(p.parent));
        EXPECT_EQ(widget->pos(), p.geometry.topLeft());
        if (p.geometry.width() > 0) {
            EXPECT_EQ(widget->size(), p.geometry.size());
        }
        EXPECT_EQ(widget->isHidden(), p.hidden);
        const QString caption = QString::fromLatin1(p.caption);
        EXPECT_EQ(captionOf(widget), caption);
        if (!caption.isEmpty() && !dynamic_cast<QLabel*>(widget)) {
            EXPECT_EQ(widget->accessibleName(), caption);
        }
    }
    const QObjectList inPanel2 = form->Panel2->children();
    EXPECT_GT(inPanel2.indexOf(static_cast<QObject*>(form->Button7)), inPanel2.indexOf(static_cast<QObject*>(form->Panel3))) << "Button7 in front of Panel3";
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Corvanel - Viewer & Evaluator v.2"));
}

TEST_F(MainWindowTest, StartsWithTheDefaults) {
    open({});
    EXPECT_TRUE(form->RadioButton1->isChecked());
    EXPECT_FALSE(form->RadioButton2->isChecked());
    EXPECT_TRUE(form->RadioButton4->isChecked());
    EXPECT_FALSE(form->RadioButton5->isChecked() || form->RadioButton6->isChecked());
    for (QCheckBox* box : {form->CheckBox1, form->CheckBox2, form->CheckBox3, form->CheckBox4})
        EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
    EXPECT_EQ(form->LabeledEdit13->text(), "90");
    EXPECT_FALSE(form->LabeledEdit13->isReadOnly());
    EXPECT_EQ(form->Edit1->text(), "100");
    EXPECT_EQ(form->Edit2->text(), "0");
    EXPECT_EQ(form->Edit3->text(), "0");
    for (LabeledEdit* field : form->findChildren<LabeledEdit*>()) {
        if (field == form->LabeledEdit13 || field == form->LabeledEdit14) continue;
        SCOPED_TRACE(field->objectName().toStdString());
        EXPECT_TRUE(field->text().isEmpty());
        EXPECT_TRUE(field->isReadOnly());
    }
}

TEST_F(MainWindowTest, RadioButtonsAreExclusiveWithinTheirGroupOnly) {
    open({});
    QTest::mouseClick(form->RadioButton5, Qt::LeftButton);
    EXPECT_TRUE(form->RadioButton5->isChecked());
    EXPECT_FALSE(form->RadioButton4->isChecked());
    EXPECT_TRUE(form->RadioButton1->isChecked());
    QTest::mouseClick(form->RadioButton2, Qt::LeftButton);
    EXPECT_FALSE(form->RadioButton1->isChecked());
    EXPECT_TRUE(form->RadioButton5->isChecked());
}

TEST_F(MainWindowTest, Colours) {
    open({});
    const QColor window = QPalette().color(QPalette::Base);
    const struct {
        QWidget* widget;
        QPalette::ColorRole role;
        QColor colour;
    } colours[] = {
        {form->LabeledEdit14, QPalette::Base, {255, 0, 0}},     {form->LabeledEdit14, QPalette::Text, window},
        {form->LabeledEdit3, QPalette::Base, {166, 202, 240}},  {form->LabeledEdit1, QPalette::Base, {0, 255, 255}},
        {form->LabeledEdit2, QPalette::Base, {0, 255, 255}},    {form->LabeledEdit15, QPalette::Base, {0, 0, 128}},
        {form->LabeledEdit15, QPalette::Text, window},          {form->LabeledEdit4, QPalette::Base, {0, 255, 0}},
        {form->LabeledEdit5, QPalette::Base, {0, 255, 0}},      {form->LabeledEdit6, QPalette::Base, {0, 255, 255}},
        {form->LabeledEdit12, QPalette::Base, {0, 255, 255}},   {form->LabeledEdit9, QPalette::Base, {255, 255, 0}},
        {form->LabeledEdit10, QPalette::Base, {255, 255, 0}},   {form->LabeledEdit16, QPalette::Base, {166, 202, 240}},
        {form->Panel4, QPalette::Window, {192, 192, 192}},      {form->LabeledEdit13, QPalette::Base, window},
    };
    for (const auto& c : colours)
        EXPECT_EQ(c.widget->palette().color(c.role), c.colour) << c.widget->objectName().toStdString();
    EXPECT_TRUE(form->Panel4->autoFillBackground());
    EXPECT_EQ(form->RadioButton5->font().pixelSize(), 11);
    EXPECT_EQ(form->LabeledEdit14->font().pixelSize(), 12);
}

TEST_F(MainWindowTest, CaptionsSitThreePixelsOutsideTheirFields) {
    open({});
    const QRect above = form->LabeledEdit13->geometry();
    const QRect aboveLabel = form->LabeledEdit13->EditLabel()->geometry();
    EXPECT_EQ(aboveLabel.left(), above.left());
    EXPECT_EQ(aboveLabel.bottom() + 1 + 3, above.top());

    const QRect left = form->LabeledEdit10->geometry();
    const QRect leftLabel = form->LabeledEdit10->EditLabel()->geometry();
    EXPECT_EQ(leftLabel.right() + 1 + 3, left.left());
    EXPECT_LE(std::abs(leftLabel.center().y() - left.center().y()), 1);

    // The caption follows its field.
    form->LabeledEdit10->move(150, 100);
    EXPECT_EQ(form->LabeledEdit10->EditLabel()->geometry().right() + 1 + 3, 150);
    EXPECT_TRUE(form->LabeledEdit7->EditLabel()->isHidden());
    form->LabeledEdit7->show();
    EXPECT_TRUE(form->LabeledEdit7->EditLabel()->isVisible());
}

TEST_F(MainWindowTest, RegionsDockAndStretch) {
    open({}, false);
    EXPECT_EQ(form->pos(), QPoint(55, 129));
    EXPECT_EQ(form->size(), QSize(1215, 705));
    form->show();
    EXPECT_EQ(form->Panel1->geometry(), QRect(0, 0, 1215, 57));
    EXPECT_EQ(form->FileListBox1->geometry(), QRect(0, 57, 145, 648));
    EXPECT_EQ(form->ImagXpress7_1->geometry(), QRect(145, 57, 734, 648));
    EXPECT_EQ(form->Panel2->geometry(), QRect(879, 57, 336, 648));

    form->resize(1600, 900);
    QTest::qWait(0);
    EXPECT_EQ(form->Panel1->geometry(), QRect(0, 0, 1600, 57));
    EXPECT_EQ(form->FileListBox1->geometry(), QRect(0, 57, 145, 843));
    EXPECT_EQ(form->ImagXpress7_1->geometry(), QRect(145, 57, 1119, 843));
    EXPECT_EQ(form->Panel2->geometry(), QRect(1264, 57, 336, 843));
    EXPECT_EQ(form->Button7->pos(), QPoint(11, 87));
}

}  // namespace
}  // namespace corvanel::app
