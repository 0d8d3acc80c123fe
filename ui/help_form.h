#pragma once

#include "present/presenters.h"
#include "ui/qt_view.h"

#include <QFrame>
#include <QPoint>

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

    CaptionLabel* Label1;
    QLabel* Picture1;
    QPushButton* Command1;

protected:
    void closeEvent(QCloseEvent* event) override;
    // The window has no title bar: a press anywhere but on the OK button
    // drags it.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QtView view_;
    present::HelpPresenter presenter_;
    /// Where the pointer holds the window during a drag, from its top-left
    /// corner; unset when no drag is under way.
    std::optional<QPoint> grip_;
};

} // namespace pelvoran
