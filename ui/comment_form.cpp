#include "ui/comment_form.h"

#include "forms/form_texts.h"
#include "ui/qt_text.h"
#include "ui/screen.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QPushButton>

namespace pelvoran {

CommentForm::CommentForm(const Services& services)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      CommentText(new QPlainTextEdit(this)),
      Command1(new QPushButton(toQString(form_text::kSendButton), this)), post_(services) {
    setObjectName(u"CommentForm"_s);
    setWindowTitle(toQString(form_text::kCommentCaption));
    setFixedSize(toSize(layout::comment_window::kClient));

    CommentText->setObjectName(u"CommentText"_s);
    CommentText->setGeometry(toRect(layout::comment_window::kCommentText));
    CommentText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CommentText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CommentText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    CommentText->setTabChangesFocus(true);

    Command1->setObjectName(u"Command1"_s);
    Command1->setGeometry(toRect(layout::comment_window::kCommand1));
    Command1->setAutoDefault(false);
    connect(Command1, &QPushButton::clicked, this, &CommentForm::Command1_Click);

    setTabOrder(CommentText, Command1);
}

Text CommentForm::comment() const {
    QString s = CommentText->toPlainText();
    s.replace(QChar(u'\n'), u"\r\n"_s);
    return toText(s);
}

void CommentForm::showLoaded() {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    CommentText->clear();
    centreOnScreen(this);
    show();
    raise();
    activateWindow();
    CommentText->setFocus();
}

void CommentForm::Command1_Click() {
    if (post_.Command1_Click(comment()))
        close();
}

void CommentForm::closeEvent(QCloseEvent* event) {
    CommentText->clear(); // unloading loses the text
    event->accept();
}

} // namespace pelvoran
