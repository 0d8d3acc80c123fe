#include "ui/qt_view.h"

#include "ui/caption_label.h"
#include "ui/qt_text.h"
#include "ui/screen.h"

#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTextDocument>

#include <stdexcept>

namespace pelvoran {

QWidget* QtView::widget(present::Part part) const {
    for (const Control& c : controls_)
        if (c.part == part)
            return c.widget;
    throw std::logic_error("the window has no such control");
}

void QtView::unload() {
    for (const Control& c : controls_) {
        if (auto* label = qobject_cast<CaptionLabel*>(c.widget))
            label->setCaption(toText(c.unloaded));
        else if (auto* picture = qobject_cast<QLabel*>(c.widget))
            picture->clear();
        else if (auto* edit = qobject_cast<QPlainTextEdit*>(c.widget))
            edit->clear();
    }
}

void QtView::show() {
    centreOnScreen(&window_);
    window_.show();
    raise();
}

void QtView::raise() {
    window_.raise();
    window_.activateWindow();
}

void QtView::close() {
    window_.close();
}

void QtView::focus(present::Part part) {
    widget(part)->setFocus();
}

void QtView::setText(present::Part part, const Text& text) {
    if (part == present::Part::Window) {
        window_.setWindowTitle(toQString(text));
        return;
    }
    QWidget* w = widget(part);
    if (auto* label = qobject_cast<CaptionLabel*>(w))
        label->setCaption(text);
    else if (auto* line = qobject_cast<QLineEdit*>(w))
        line->setText(toQString(text));
    else if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
        edit->setPlainText(toQString(text));
}

Text QtView::text(present::Part part) const {
    QWidget* w = widget(part);
    if (auto* line = qobject_cast<QLineEdit*>(w))
        return toText(line->text());
    // The raw text: toPlainText() would turn U+00A0 into a blank and U+2028
    // into a line break. Lines are kept apart by U+2029 in it.
    if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
        return toText(edit->document()->toRawText());
    if (auto* label = qobject_cast<CaptionLabel*>(w))
        return label->caption();
    return {};
}

std::size_t QtView::cursor(present::Part part) const {
    if (auto* line = qobject_cast<QLineEdit*>(widget(part)))
        return static_cast<std::size_t>(std::max(line->cursorPosition(), 0));
    return 0;
}

void QtView::setPicture(present::Part part, int bitmapId) {
    if (auto* picture = qobject_cast<QLabel*>(widget(part)))
        picture->setPixmap(QPixmap(u":/pelvoran/bitmap%1.bmp"_s.arg(bitmapId), "BMP"));
}

} // namespace pelvoran
