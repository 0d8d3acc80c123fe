#pragma once

#include "present/presenters.h"
#include "ui/qt_view.h"

#include <QFrame>
#include <QPoint>

#include <functional>
#include <optional>

class QLabel;
class QPushButton;

namespace pelvoran {

class CaptionLabel;

/// The help window: what a lens code looks like and a photograph of a lens
/// mount with the code framed in red. No title bar; OK closes it, and the
/// window can be dragged by any other point. Screen readers meet it as a
/// dialog named 帮助 whose description is the help text.
class HelpForm final : public QFrame {
    Q_OBJECT
public:
    explicit HelpForm(present::OpenWindows& windows);

    present::HelpPresenter& presenter() { return presenter_; }

    /// Asks the window manager to move the window with the pointer; false
    /// where it cannot (the window then follows the pointer itself).
    /// Replaceable so that a test sees when a move is handed over.
    void setSystemMove(std::function<bool()> systemMove) { systemMove_ = std::move(systemMove); }

    CaptionLabel* Label1;
    QLabel* Picture1;
    QPushButton* Command1;

protected:
    void closeEvent(QCloseEvent* event) override;
    // The window has no title bar: a drag that starts anywhere but on the OK
    // button moves it, once the pointer has gone the platform's drag distance
    // with the button held. A click or a double-click moves nothing.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QtView view_;
    present::HelpPresenter presenter_;
    std::function<bool()> systemMove_;
    /// Where the left button went down (global), while it is held.
    std::optional<QPoint> pressedAt_;
    /// Where the pointer holds the window while it follows the pointer itself,
    /// from its top-left corner.
    std::optional<QPoint> grip_;
};

} // namespace pelvoran
