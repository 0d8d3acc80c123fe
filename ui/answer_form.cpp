#include "ui/answer_form.h"

#include "forms/form_texts.h"
#include "ui/qt_text.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace pelvoran {

namespace {

/// A box that shows text the user can read, select and copy, not change; a
/// link in it is plain text.
QPlainTextEdit* readOnlyBox(const QString& name, const QString& accessibleName, QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setObjectName(name);
    box->setReadOnly(true);
    box->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    box->setTabChangesFocus(true);
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Lines wrap at the box's width: nothing ever lies to the side.
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    box->setAccessibleName(accessibleName);
    return box;
}

} // namespace

AnswerForm::AnswerForm(present::OpenWindows& windows)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::CustomizeWindowHint),
      Label1(new QLabel(toQString(form_text::kYourComment), this)),
      CommentText(readOnlyBox(u"CommentText"_s, toQString(form_text::kYourComment), this)),
      Label2(new QLabel(toQString(form_text::kTheAnswer), this)),
      AnswerText(readOnlyBox(u"AnswerText"_s, toQString(form_text::kTheAnswer), this)),
      Command1(new QPushButton(toQString(form_text::kOk), this)),
      view_(*this, {{present::Control::CommentText, CommentText},
                    {present::Control::AnswerText, AnswerText}}),
      presenter_(view_, windows) {
    setObjectName(u"AnswerForm"_s);
    setWindowTitle(toQString(form_text::kAnswerCaption));
    setFixedSize(toSize(layout::answer_window::kClient));
    setModal(false);

    Label1->setObjectName(u"Label1"_s);
    Label1->setGeometry(toRect(layout::answer_window::kLabel1));
    Label1->setBuddy(CommentText);
    CommentText->setGeometry(toRect(layout::answer_window::kCommentText));
    Label2->setObjectName(u"Label2"_s);
    Label2->setGeometry(toRect(layout::answer_window::kLabel2));
    Label2->setBuddy(AnswerText);
    AnswerText->setGeometry(toRect(layout::answer_window::kAnswerText));
    Command1->setObjectName(u"Command1"_s);
    Command1->setGeometry(toRect(layout::answer_window::kCommand1));
    Command1->setDefault(true);

    setTabOrder(CommentText, AnswerText);
    setTabOrder(AnswerText, Command1);
    connect(Command1, &QPushButton::clicked, this, [this] { presenter_.Command1_Click(); });
    // OK, Esc and the close box all end here.
    connect(this, &QDialog::finished, this, [this] {
        view_.unload();
        presenter_.closed();
    });
}

} // namespace pelvoran
