#include "ui/screen.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace pelvoran {

void centreOnScreen(QWidget* window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    // The frame counts once the window has one; a window too big for the
    // area keeps its title bar on the screen.
    const QRect area = screen->availableGeometry();
    const QPoint centred = area.center() - QRect(QPoint(), window->frameGeometry().size()).center();
    window->move(std::max(centred.x(), area.left()), std::max(centred.y(), area.top()));
}

} // namespace pelvoran
