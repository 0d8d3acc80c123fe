#include "ui/caption_label.h"

#include "forms/form_layout.h"
#include "forms/form_rules.h"
#include "ui/qt_text.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>

namespace pelvoran {

namespace {

/// Orca and its kind speak a notification whenever one is shown, while a
/// label's new name reaches them only if the label has the focus. The answer
/// label cannot take the focus from the code box, so each caption is also
/// shown as a notification of no size.
class Announcer final : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
};

QAccessibleInterface* announcerAccessible(const QString& className, QObject* object) {
    if (className == u"pelvoran::Announcer"_s && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Notification);
    return nullptr;
}

} // namespace

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
    } else {
        // The same text set again is reported as a new name all the same, as a
        // Windows label reports each WM_SETTEXT.
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void CaptionLabel::makeAnnouncer() {
    QAccessible::installFactory(announcerAccessible); // Qt keeps one of each
    announcer_ = new Announcer(this);
    announcer_->setGeometry(0, 0, 0, 0);
    announcer_->hide();
}

void CaptionLabel::announce(const Text& text) {
    if (announcer_ == nullptr)
        return;
    // Hidden and shown again, so that a repeated text is spoken again.
    announcer_->hide();
    announcer_->setAccessibleName(forDisplay(text));
    announcer_->show();
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

#include "caption_label.moc"
