#include "ui/single_line.h"

#include "ui/qt_text.h"

#include <QAccessibleWidget>
#include <QFontMetrics>

#include <algorithm>

namespace pelvoran {

namespace {

/// What a screen reader reads and edits in a LineBox: its text, cursor and
/// selection, as Qt presents any line edit.
class LineBoxAccessible final : public QAccessibleWidget,
                                public QAccessibleTextInterface,
                                public QAccessibleEditableTextInterface {
public:
    explicit LineBoxAccessible(QLineEdit* box)
        : QAccessibleWidget(box, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        if (type == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Value ? box()->text() : QAccessibleWidget::text(t);
    }
    void setText(QAccessible::Text t, const QString& text) override {
        if (t != QAccessible::Value)
            return QAccessibleWidget::setText(t, text);
        box()->selectAll();
        box()->insert(text); // through the box's validator, as typing would
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = !box()->isReadOnly();
        s.readOnly = box()->isReadOnly();
        s.selectableText = true;
        return s;
    }

    // The text.
    QString text(int start, int end) const override {
        return box()->text().mid(start, end - start);
    }
    int characterCount() const override { return static_cast<int>(box()->text().size()); }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                         int* end) const override {
        offset = placed(offset);
        const int count = characterCount();
        if (offset < 0 || offset > count) {
            *start = *end = -1;
            return {};
        }
        if (offset == count && type != QAccessible::NoBoundary) {
            // Nothing follows the end: the character there is none, and
            // the word (sentence, line) there is the one it ends.
            if (type == QAccessible::CharBoundary || count == 0) {
                *start = *end = count;
                return {};
            }
            offset = count - 1;
        }
        return QAccessibleTextInterface::textAtOffset(offset, type, start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                            int* end) const override {
        offset = placed(offset);
        if (offset >= characterCount() && type != QAccessible::NoBoundary) {
            *start = *end = characterCount();
            return {};
        }
        return QAccessibleTextInterface::textAfterOffset(offset, type, start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                             int* end) const override {
        return QAccessibleTextInterface::textBeforeOffset(placed(offset), type, start, end);
    }
    QString attributes(int offset, int* start, int* end) const override {
        *start = *end = offset;
        return {};
    }

    // Cursor and selection.
    int cursorPosition() const override { return box()->cursorPosition(); }
    void setCursorPosition(int position) override { box()->setCursorPosition(position); }
    int selectionCount() const override { return box()->hasSelectedText() ? 1 : 0; }
    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index != 0 || !box()->hasSelectedText())
            return;
        *start = box()->selectionStart();
        *end = *start + box()->selectionLength();
    }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int index) override {
        if (index == 0)
            box()->deselect();
    }
    void setSelection(int index, int start, int end) override {
        if (index == 0)
            box()->setSelection(start, end - start);
    }
    void scrollToSubstring(int start, int end) override {
        box()->setCursorPosition(end);
        box()->setCursorPosition(start);
    }

    // Where the characters are on the screen; the box never scrolls its text
    // sideways, as it holds a short code.
    QRect characterRect(int offset) const override {
        const QFontMetrics metrics(box()->font());
        const QRect inside = box()->contentsRect() - box()->textMargins();
        const QString text = box()->text();
        const int x = inside.left() + 2 /* the line edit's own inner margin */ +
                      metrics.horizontalAdvance(text.left(offset));
        const int width = offset < text.size() ? metrics.horizontalAdvance(text.at(offset)) : 0;
        const int y = inside.top() + (inside.height() - metrics.height()) / 2;
        return {box()->mapToGlobal(QPoint(x, y)), QSize(width, metrics.height())};
    }
    int offsetAtPoint(const QPoint& point) const override {
        for (int i = 0; i < characterCount(); ++i) {
            if (characterRect(i).contains(point))
                return i;
        }
        return -1;
    }

    // Edits, each as if typed: through the validator, so the box keeps only
    // what the form allows.
    void deleteText(int start, int end) override { replaceText(start, end, {}); }
    void insertText(int offset, const QString& text) override { replaceText(offset, offset, text); }
    void replaceText(int start, int end, const QString& text) override {
        box()->setSelection(start, end - start);
        box()->insert(text);
    }

private:
    QLineEdit* box() const { return static_cast<QLineEdit*>(widget()); }
    /// An offset as asked, -2 standing for the cursor's place.
    int placed(int offset) const { return offset == -2 ? cursorPosition() : offset; }
};

QAccessibleInterface* lineBoxAccessible(const QString& className, QObject* object) {
    if (className == u"pelvoran::LineBox" && object->isWidgetType())
        return new LineBoxAccessible(static_cast<QLineEdit*>(object));
    return nullptr;
}

} // namespace

LineBox::LineBox(QWidget* parent) : QLineEdit(parent) {
    QAccessible::installFactory(lineBoxAccessible); // Qt keeps one of each
}

QValidator::State EditForwarder::validate(QString& input, int& pos) const {
    const present::BoxEdit kept = edit_(toText(input), static_cast<std::size_t>(std::max(pos, 0)));
    if (kept.text.size() != static_cast<std::size_t>(input.size())) {
        input = toQString(kept.text);
        pos = static_cast<int>(kept.cursor);
    }
    return Acceptable;
}

} // namespace pelvoran
