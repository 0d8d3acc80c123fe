#pragma once

#include "present/presenters.h"
#include "ui/qt_view.h"

#include <QWidget>

class QLineEdit;
class QPushButton;

namespace pelvoran {

class AnswerForm;
class CaptionLabel;
class CommentForm;
class HelpForm;

/// The main window on Qt Widgets: its controls, drawn and forwarded to the
/// presenter, which owns the one help and one comment window of the process.
class PelvoranForm final : public QWidget, public present::MainWindow<HelpForm, CommentForm> {
    Q_OBJECT
public:
    explicit PelvoranForm(Services services);
    ~PelvoranForm() override;

    QLineEdit* ProdSNText;
    CaptionLabel* Label1;
    QPushButton* Command1;
    QPushButton* Command2;
    CaptionLabel* Label2;
    QPushButton* Command3;

    /// The answer window, or nullptr before the first answer.
    AnswerForm* answerForm() const { return answer_; }

protected:
    present::MainPresenter& presenter() override { return presenter_; }
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    /// The makers of the help and comment windows, and of the answer window.
    present::WindowMakers allMakers();

    AnswerForm* answer_ = nullptr;
    QtView view_;
    present::MainPresenter presenter_;
};

} // namespace pelvoran
