#include "win/comment_form.h"

#include "forms/form_texts.h"

namespace pelvoran::win {

using present::Control;

CommentForm::CommentForm(present::OpenWindows& windows, const Services& services)
    : Form({L"CommentForm", form_text::kCommentCaption, layout::comment_window::kClient,
            WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX}),
      presenter_(*this, windows, services) {}

CommentForm::~CommentForm() {
    close();
}

void CommentForm::createControls() {
    using namespace layout::comment_window;
    CommentText = child(Control::CommentText, L"EDIT", Text(),
                        WS_TABSTOP | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL, kCommentText,
                        Keys::TabStop, L"宋体", layout::kDefaultFontPoints, WS_EX_CLIENTEDGE);
    SendMessageW(CommentText, EM_SETLIMITTEXT, 0, 0); // no limit of its own
    Command1 = child(Control::Command1, L"BUTTON", form_text::kSendButton,
                     WS_TABSTOP | BS_PUSHBUTTON, kCommand1, Keys::Button);
    on(Command1, BN_CLICKED, [this] { presenter_.Command1_Click(); });
}

void CommentForm::closed() {
    CommentText = Command1 = nullptr;
    presenter_.closed();
}

} // namespace pelvoran::win
