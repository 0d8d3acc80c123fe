#pragma once

#include "decode/lens_query.h"
#include "net/update_check.h"

#include <QWidget>
#include <memory>

class QLineEdit;
class QLabel;
class QPushButton;

namespace pelvoran {

class CaptionLabel;
class CommentForm;
class HelpForm;

/// The main window: the code box, the query, the answer label, and the
/// buttons that open the help and comment windows. It owns the one help and
/// one comment window of the process, made on first use.
class PelvoranForm final : public QWidget {
    Q_OBJECT
public:
    explicit PelvoranForm(Services services);
    ~PelvoranForm() override;

    /// Sets the caption and the start notice and runs the update check. If
    /// the user accepts an update the process ends in here.
    void Form_Load();

    /// Shows the window centred on the screen with the focus in the code box.
    void showCentred();

    /// The help and comment windows, or nullptr before their first use.
    HelpForm* helpForm() const { return help_.get(); }
    CommentForm* commentForm() const { return comment_.get(); }

    QLineEdit* ProdSNText;
    QLabel* Label1;
    QPushButton* Command1;
    QPushButton* Command2;
    CaptionLabel* Label2;
    QPushButton* Command3;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void ProdSNText_Change();
    void ProdSNText_KeyDown(int KeyCode, int Shift);

    Services services_;
    LensQuery query_;
    UpdateCheck update_;
    std::unique_ptr<HelpForm> help_;
    std::unique_ptr<CommentForm> comment_;
};

} // namespace pelvoran
