#pragma once

#include "present/presenters.h"
#include "win/form.h"

namespace pelvoran::win {

class CommentForm;
class HelpForm;

/// The main window on Win32: the code box, the answer label and the three
/// buttons, drawn and forwarded to the presenter, which owns the one help and
/// one comment window of the process. The last window to close ends the
/// message loop.
class PelvoranForm final : public Form {
public:
    explicit PelvoranForm(Services services);
    ~PelvoranForm() override;

    /// Creates the window, sets the caption and the start notice and runs the
    /// update check. If the user accepts an update the process ends in here.
    void Form_Load() { presenter_.Form_Load(); }
    /// Shows the window centred on the screen with the focus in the code box.
    void showCentred() { presenter_.showCentred(); }

    /// The help and comment windows, or nullptr before their first use.
    HelpForm* helpForm() const { return help_; }
    CommentForm* commentForm() const { return comment_; }
    /// How many windows of the process are open.
    int openWindows() const { return presenter_.openWindows().count(); }

    HWND ProdSNText = nullptr;
    HWND Label1 = nullptr;
    HWND Command1 = nullptr;
    HWND Command2 = nullptr;
    HWND Label2 = nullptr;
    HWND Command3 = nullptr;

private:
    void createControls() override;
    bool handle(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void closed() override;
    void applyPasteRule();

    present::MainPresenter presenter_;
    HelpForm* help_ = nullptr;
    CommentForm* comment_ = nullptr;
};

} // namespace pelvoran::win
