#pragma once

#include "present/presenters.h"
#include "win/form.h"

namespace pelvoran::win {

/// The comment window on Win32: the comment box and the send button.
class CommentForm final : public Form {
public:
    CommentForm(present::OpenWindows& windows, const Services& services);
    ~CommentForm() override;

    present::CommentPresenter& presenter() { return presenter_; }
    /// The comment as it is posted, each line break as CR LF.
    Text comment() const { return presenter_.comment(); }

    HWND CommentText = nullptr;
    HWND Command1 = nullptr;

private:
    void createControls() override;
    void closed() override;

    present::CommentPresenter presenter_;
};

} // namespace pelvoran::win
