#include "ui/push_button.h"

#include <QKeyEvent>

namespace pelvoran {

PushButton::PushButton(const QString& objectName, const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {
    setObjectName(objectName);
    setAutoDefault(false);
    setDefault(false);
}

void PushButton::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (!event->isAutoRepeat())
            click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}

} // namespace pelvoran
