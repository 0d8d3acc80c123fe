#pragma once

#include "present/presenters.h"
#include "win/announce.h"
#include "win/form.h"

namespace pelvoran::win {

class AnswerForm;
class CommentForm;
class HelpForm;

/// The main window on Win32: the code box, the answer label and the three
/// buttons, drawn and forwarded to the presenter, which owns the one help and
/// one comment window of the process, and the answer window. The last window
/// to close ends the message loop. Each new answer is also announced to
/// screen readers.
class PelvoranForm final : public Form, public present::MainWindow<HelpForm, CommentForm> {
public:
    explicit PelvoranForm(Services services, Announce announce = announceByUiAutomation);
    ~PelvoranForm() override;

    /// How many windows of the process are open.
    int openWindows() const { return presenter_.openWindows().count(); }
    /// The answer window, or nullptr before the first answer.
    AnswerForm* answerForm() const { return answer_; }

    HWND ProdSNText = nullptr;
    HWND Label1 = nullptr;
    HWND Command1 = nullptr;
    HWND Command2 = nullptr;
    HWND Label2 = nullptr;
    HWND Command3 = nullptr;

protected:
    present::MainPresenter& presenter() override { return presenter_; }

private:
    void createControls() override;
    void announce(present::Control which, const Text& text) override;
    bool handle(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void closed() override;
    void applyPasteRule();
    /// The makers of the help and comment windows, and of the answer window.
    present::WindowMakers allMakers();

    AnswerForm* answer_ = nullptr;
    present::MainPresenter presenter_;
    Announce announce_;
};

} // namespace pelvoran::win
