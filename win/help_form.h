#pragma once

#include "present/presenters.h"
#include "win/form.h"

namespace pelvoran::win {

/// The help window on Win32: the help text, the photograph, and OK.
class HelpForm final : public Form {
public:
    explicit HelpForm(present::OpenWindows& windows);
    ~HelpForm() override;

    present::HelpPresenter& presenter() { return presenter_; }

    HWND Label1 = nullptr;
    HWND Picture1 = nullptr;
    HWND Command1 = nullptr;

private:
    void createControls() override;
    void closed() override;

    present::HelpPresenter presenter_;
};

} // namespace pelvoran::win
