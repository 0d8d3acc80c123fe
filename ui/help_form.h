#pragma once

#include "platform/text.h"

#include <QFrame>

class QLabel;
class QPushButton;

namespace pelvoran {

class CaptionLabel;

/// The help window: what a lens code looks like and a photograph of a lens
/// mount with the code framed in red. No title bar; OK closes it.
class HelpForm final : public QFrame {
    Q_OBJECT
public:
    HelpForm();

    /// Loads the window: the help text and the picture.
    void Form_Load();

    /// Shows the window, loading it first if it is closed; an open window is
    /// only brought to the front.
    void showLoaded();

    /// How often the window has been loaded.
    int loads() const { return loads_; }

    CaptionLabel* Label1;
    QLabel* Picture1;
    QPushButton* Command1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Command1_Click();

    int loads_ = 0;
};

} // namespace pelvoran
