#pragma once

#include "present/presenters.h"
#include "ui/qt_view.h"

#include <QWidget>

class QLineEdit;
class QPushButton;

namespace pelvoran {

class CaptionLabel;
class CommentForm;
class HelpForm;

/// The main window on Qt Widgets: its controls, drawn and forwarded to the
/// presenter, which owns the one help and one comment window of the process.
class PelvoranForm final : public QWidget {
    Q_OBJECT
public:
    explicit PelvoranForm(Services services);
    ~PelvoranForm() override;

    /// Sets the caption and the start notice and runs the update check. If
    /// the user accepts an update the process ends in here.
    void Form_Load() { presenter_.Form_Load(); }
    /// Shows the window centred on the screen with the focus in the code box.
    void showCentred() { presenter_.showCentred(); }

    /// The help and comment windows, or nullptr before their first use.
    HelpForm* helpForm() const { return help_; }
    CommentForm* commentForm() const { return comment_; }

    QLineEdit* ProdSNText;
    CaptionLabel* Label1;
    QPushButton* Command1;
    QPushButton* Command2;
    CaptionLabel* Label2;
    QPushButton* Command3;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QtView view_;
    present::MainPresenter presenter_;
    HelpForm* help_ = nullptr;
    CommentForm* comment_ = nullptr;
};

} // namespace pelvoran
