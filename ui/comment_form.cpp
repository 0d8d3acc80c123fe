#include "ui/comment_form.h"

#include "ui/qt_text.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

namespace pelvoran {

CommentForm::CommentForm(const UiServices& services)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      CommentText(new QPlainTextEdit(this)), Command1(new QPushButton(u"发送"_s, this)),
      post_(*services.registry, *services.messageBoxes, services.baseAddress) {
    setObjectName(u"CommentForm"_s);
    setWindowTitle(u"请填写您的意见或建议"_s);
    setFixedSize(px(4560), px(3030));

    CommentText->setObjectName(u"CommentText"_s);
    CommentText->setGeometry(px(360), px(240), px(3735), px(2055));
    CommentText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CommentText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CommentText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    CommentText->setTabChangesFocus(true);

    Command1->setObjectName(u"Command1"_s);
    Command1->setGeometry(px(1680), px(2520), px(1215), px(375));
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
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
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
