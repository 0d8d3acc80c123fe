#include "ui/comment_form.h"

#include "forms/form_rules.h"
#include "forms/form_texts.h"
#include "ui/push_button.h"
#include "ui/qt_text.h"
#include "ui/screen.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextDocument>

namespace pelvoran {

CommentForm::CommentForm(const Services& services)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      CommentText(new QPlainTextEdit(this)),
      Command1(new PushButton(u"Command1"_s, toQString(form_text::kSendButton), this)),
      post_(services) {
    setObjectName(u"CommentForm"_s);
    setWindowTitle(toQString(form_text::kCommentCaption));
    setFixedSize(toSize(layout::comment_window::kClient));

    CommentText->setObjectName(u"CommentText"_s);
    CommentText->setGeometry(toRect(layout::comment_window::kCommentText));
    CommentText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CommentText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    CommentText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    CommentText->setTabChangesFocus(true);
    CommentText->setAccessibleName(toQString(form_text::kCommentCaption));
    CommentText->installEventFilter(this);

    Command1->setGeometry(toRect(layout::comment_window::kCommand1));
    connect(Command1, &QPushButton::clicked, this, &CommentForm::Command1_Click);

    setTabOrder(CommentText, Command1);
}

Text CommentForm::comment() const {
    // The raw text: toPlainText() would turn U+00A0 into a blank and U+2028
    // into a line break. Lines are kept apart by U+2029 in it.
    return form_rule::commentWithCrLf(toText(CommentText->document()->toRawText()));
}

bool CommentForm::eventFilter(QObject* watched, QEvent* event) {
    // Shift+Enter starts a new line as Enter does, instead of putting in the
    // invisible line separator U+2028.
    if (watched == CommentText && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::InsertLineSeparator)) {
            QKeyEvent enter(QEvent::KeyPress, key->key(), key->modifiers() & ~Qt::ShiftModifier,
                            key->text(), key->isAutoRepeat());
            QCoreApplication::sendEvent(CommentText, &enter);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
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
