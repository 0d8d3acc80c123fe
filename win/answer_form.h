#pragma once

#include "present/presenters.h"
#include "win/form.h"

namespace pelvoran::win {

/// The answer window on Win32: the user's comment and the publisher's answer
/// in read-only boxes, each after the label that names it for screen readers,
/// and OK; Enter and Esc close the window as OK does.
class AnswerForm final : public Form {
public:
    explicit AnswerForm(present::OpenWindows& windows);
    ~AnswerForm() override;

    present::AnswerPresenter& presenter() { return presenter_; }

    HWND Label1 = nullptr;
    HWND CommentText = nullptr;
    HWND Label2 = nullptr;
    HWND AnswerText = nullptr;
    HWND Command1 = nullptr;

private:
    void createControls() override;
    void setText(present::Control which, const Text& text) override;
    bool handle(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void closed() override;

    present::AnswerPresenter presenter_;
};

} // namespace pelvoran::win
