// The physical limit for a Qt program: one 334 x 188 window, shown, nothing
// else. Prints the time of its first paint and exits.
#include "bench/first_show.h"

#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(334, 188);
    window.show();
    FirstShow watch(&window);
    return app.exec();
}
