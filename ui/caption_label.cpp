#include "ui/caption_label.h"

#include "forms/form_layout.h"
#include "forms/form_rules.h"
#include "ui/qt_text.h"

#include <QAccessible>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>

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
    const QFontMetrics metrics(font());
    const int pixelSize = QFontInfo(font()).pixelSize();
    // Baselines `lineStep` apart, the first one a font size below the top.
    int baseline = box.top() + pixelSize;
    for (const TextView line : form_rule::wrapLabel(caption_, box.width(), [&](TextView run) {
             return metrics.horizontalAdvance(toQString(run));
         })) {
        if (baseline - pixelSize >= box.bottom())
            break;
        painter.drawText(QPoint(box.left(), baseline), toQString(line));
        baseline += layout::lineStep(pixelSize);
    }
}

} // namespace pelvoran
