#pragma once

#include "present/presenters.h"
#include "ui/qt_view.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace pelvoran {

/// The answer window: the user's comment and the publisher's answer in
/// read-only boxes that the keyboard reaches and screen readers read by
/// their labels' names, and OK, the default button; Esc closes the window as
/// OK does. Shown modeless, without an owner, as the other windows.
class AnswerForm final : public QDialog {
    Q_OBJECT
public:
    explicit AnswerForm(present::OpenWindows& windows);

    present::AnswerPresenter& presenter() { return presenter_; }

    QLabel* Label1;
    QPlainTextEdit* CommentText;
    QLabel* Label2;
    QPlainTextEdit* AnswerText;
    QPushButton* Command1;

private:
    QtView view_;
    present::AnswerPresenter presenter_;
};

} // namespace pelvoran
