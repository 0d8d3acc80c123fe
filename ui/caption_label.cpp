#include "ui/caption_label.h"

#include "forms/form_layout.h"
#include "ui/qt_text.h"

#include <QAccessible>
#include <QFontInfo>
#include <QPainter>
#include <QTextLayout>

namespace pelvoran {

CaptionLabel::CaptionLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText); // never read server or user text as markup
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setAutoFillBackground(true);
}

void CaptionLabel::setCaption(const Text& caption) {
    const QString shown = forDisplay(caption);
    caption_ = caption;
    if (shown != text()) {
        setText(shown); // QLabel tells screen readers of its new name
        return;
    }
    // The same text again is a new answer too (a query run twice): say so.
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void CaptionLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect box = contentsRect();
    painter.setClipRect(box);
    painter.setPen(palette().color(foregroundRole()));
    const int pixelSize = QFontInfo(font()).pixelSize();
    const qreal step = layout::lineStep(pixelSize);
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    qreal y = box.top();
    for (const QString& paragraph : text().split(QChar(u'\n'))) {
        QTextLayout layout(paragraph, font());
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(box.width());
            // Baselines `step` apart, the first one a font size below the top.
            line.setPosition(QPointF(0, y + pixelSize - line.ascent()));
            y += step;
        }
        layout.endLayout();
        layout.draw(&painter, QPointF(box.left(), 0));
        if (y > box.bottom())
            break;
    }
}

} // namespace pelvoran
