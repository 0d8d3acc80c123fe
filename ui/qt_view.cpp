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

QWidget* QtView::widget(present::Control control) const {
    for (const Widget& c : widgets_)
        if (c.control == control)
            return c.widget;
    throw std::logic_error("the window has no such control");
}

void QtView::unload() {
    for (const Widget& c : widgets_) {
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

void QtView::focus(present::Control control) {
    widget(control)->setFocus();
}

void QtView::setText(present::Control control, const Text& text) {
    if (control == present::Control::Window) {
        window_.setWindowTitle(toQString(text));
        return;
    }
    QWidget* w = widget(control);
    if (auto* label = qobject_cast<CaptionLabel*>(w))
        label->setCaption(text);
    else if (auto* line = qobject_cast<QLineEdit*>(w))
        line->setText(toQString(text));
    else if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
        edit->setPlainText(forDisplay(text));
}

Text QtView::text(present::Control control) const {
    QWidget* w = widget(control);
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

std::size_t QtView::cursor(present::Control control) const {
    if (auto* line = qobject_cast<QLineEdit*>(widget(control)))
        return static_cast<std::size_t>(std::max(line->cursorPosition(), 0));
    return 0;
}

void QtView::setPicture(present::Control control, int bitmapId) {
    if (auto* picture = qobject_cast<QLabel*>(widget(control)))
        picture->setPixmap(QPixmap(u":/pelvoran/bitmap%1.bmp"_s.arg(bitmapId), "BMP"));
}

void QtView::announce(present::Control control, const Text& text) {
    if (auto* label = qobject_cast<CaptionLabel*>(widget(control)))
        label->announce(text);
}

} // namespace pelvoran
