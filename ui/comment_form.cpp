#include "ui/comment_form.h"

#include "forms/form_texts.h"
#include "ui/push_button.h"
#include "ui/qt_text.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>

namespace pelvoran {

CommentForm::CommentForm(present::OpenWindows& windows, const Services& services)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      CommentText(new QPlainTextEdit(this)),
      Command1(new PushButton(u"Command1"_s, toQString(form_text::kSendButton), this)),
      view_(*this, {{present::Control::CommentText, CommentText}}),
      presenter_(view_, windows, services) {
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
    connect(Command1, &QPushButton::clicked, this, [this] { presenter_.Command1_Click(); });

    setTabOrder(CommentText, Command1);
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

void CommentForm::closeEvent(QCloseEvent* event) {
    view_.unload(); // unloading loses the text
    presenter_.closed();
    event->accept();
}

} // namespace pelvoran
