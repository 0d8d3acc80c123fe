#pragma once

#include "present/presenters.h"
#include "ui/qt_view.h"

#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace pelvoran {

/// The comment window on Qt Widgets: a free-text comment and the button that
/// sends it.
class CommentForm final : public QWidget {
    Q_OBJECT
public:
    CommentForm(present::OpenWindows& windows, const Services& services);

    present::CommentPresenter& presenter() { return presenter_; }
    /// The comment exactly as typed, each line break as CR LF.
    Text comment() const { return presenter_.comment(); }

    QPlainTextEdit* CommentText;
    QPushButton* Command1;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QtView view_;
    present::CommentPresenter presenter_;
};

} // namespace pelvoran
