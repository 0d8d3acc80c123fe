#include "win/help_form.h"

#include "forms/form_texts.h"

namespace pelvoran::win {

using present::Control;

// No title bar: a plain frame around the client area, dragged by its body.
HelpForm::HelpForm(present::OpenWindows& windows)
    : Form({L"HelpForm", Text(), layout::help_window::kClient, WS_POPUP | WS_DLGFRAME,
            WS_EX_APPWINDOW, L"新宋体", layout::help_window::kWindowFontPoints, true}),
      presenter_(*this, windows) {}

HelpForm::~HelpForm() {
    close();
}

void HelpForm::createControls() {
    using namespace layout::help_window;
    Label1 = child(Control::Label1, L"STATIC", form_text::kHelpLabelUnloaded, SS_LEFT | SS_NOPREFIX,
                   kLabel1, Keys::None, L"宋体", kLabelFontPoints);
    Picture1 = child(Control::Picture1, L"STATIC", form_text::kPictureName, SS_OWNERDRAW, kPicture1,
                     Keys::None, L"宋体", kControlFontPoints, WS_EX_CLIENTEDGE);
    Command1 = child(Control::Command1, L"BUTTON", form_text::kOk, WS_TABSTOP | BS_PUSHBUTTON,
                     kCommand1, Keys::Button, L"宋体", kControlFontPoints);
    on(Command1, BN_CLICKED, [this] { presenter_.Command1_Click(); });
}

void HelpForm::closed() {
    Label1 = Picture1 = Command1 = nullptr;
    presenter_.closed();
}

} // namespace pelvoran::win
