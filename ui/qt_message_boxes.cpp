#include "ui/qt_message_boxes.h"

#include "ui/qt_text.h"

#include <QMessageBox>

namespace pelvoran {

MessageAnswer QtMessageBoxes::show(const Text& message, const Text& title, MessageButtons buttons) {
    QMessageBox box;
    box.setObjectName(u"MessageBox"_s);
    box.setWindowTitle(toQString(title));
    box.setTextFormat(Qt::PlainText);
    box.setText(forDisplay(message));
    box.setIcon(QMessageBox::NoIcon);
    if (buttons == MessageButtons::OkCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

} // namespace pelvoran
