#pragma once

#include "net/comment_post.h"

#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace pelvoran {

/// The comment window: a free-text comment and the button that sends it.
class CommentForm final : public QWidget {
    Q_OBJECT
public:
    explicit CommentForm(const Services& services);

    /// Shows the window, empty, if it is closed; an open window is only
    /// brought to the front and keeps its text.
    void showLoaded();

    /// The comment exactly as typed, each line break as CR LF.
    Text comment() const;

    QPlainTextEdit* CommentText;
    QPushButton* Command1;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Command1_Click();

    CommentPost post_;
};

} // namespace pelvoran
