// Read-only fields show their whole text within their fixed places.

#include "tests/app/app_fixture.h"

#include <QMargins>

namespace corvanel::app {
namespace {

std::vector<LabeledEdit*> readOnlyFields(TForm1& form) {
    return {form.LabeledEdit4,  form.LabeledEdit5,  form.LabeledEdit6,  form.LabeledEdit7,
            form.LabeledEdit8,  form.LabeledEdit9,  form.LabeledEdit10, form.LabeledEdit11,
            form.LabeledEdit12, form.LabeledEdit15, form.LabeledEdit16};
}

TEST_F(MainWindowTest, EveryReadOnlyFieldShowsItsWholeTextInItsPlace) {
    open({});
    for (LabeledEdit* field : readOnlyFields(*form)) {
        const QRect place = field->geometry();
        for (const char* text : {"100.0%", "99.99%", "---", "--%", "999999"}) {
            SCOPED_TRACE(field->objectName().toStdString() + " " + text);
            field->setText(QString::fromLatin1(text));
            EXPECT_TRUE(field->textFits());
            EXPECT_EQ(field->cursorPosition(), 0);
            EXPECT_EQ(field->geometry(), place);
        }
    }
}

TEST_F(MainWindowTest, AFieldShrinksItsFontOnlyForTextsThatNeedIt) {
    open({});
    LabeledEdit* field = form->LabeledEdit15;  // the narrowest
    const int normal = field->font().pixelSize();
    field->setText(QStringLiteral("999999"));
    EXPECT_LT(field->font().pixelSize(), normal);
    field->setText(QStringLiteral("7"));
    EXPECT_EQ(field->font().pixelSize(), normal);
    EXPECT_EQ(field->textMargins(), QMargins());

    // Without fitting, the same text is measured too wide for the field.
    field->setFitText(false);
    field->setText(QStringLiteral("999999"));
    EXPECT_EQ(field->font().pixelSize(), normal);
    EXPECT_FALSE(field->textFits());
}

}  // namespace
}  // namespace corvanel::app
