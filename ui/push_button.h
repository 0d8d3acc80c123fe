#pragma once

#include <QPushButton>

namespace pelvoran {

/// A push button that Enter and the keypad's Enter press when it has the
/// focus, as Space does. It never becomes a default button: Enter elsewhere
/// in the window does not reach it.
class PushButton final : public QPushButton {
    Q_OBJECT
public:
    PushButton(const QString& objectName, const QString& caption, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace pelvoran
