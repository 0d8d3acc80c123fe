#include "win/answer_form.h"

#include "forms/form_texts.h"

namespace pelvoran::win {

using present::Control;

namespace {

/// The text with every line break as CR LF, the only one an edit box shows.
Text withCrLf(const Text& text) {
    Text out;
    out.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' || text[i] == u'\n') {
            out += u"\r\n";
            if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

AnswerForm::AnswerForm(present::OpenWindows& windows)
    : Form({L"AnswerForm", form_text::kAnswerCaption, layout::answer_window::kClient,
            WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU}),
      presenter_(*this, windows) {}

AnswerForm::~AnswerForm() {
    close();
}

void AnswerForm::createControls() {
    using namespace layout::answer_window;
    constexpr DWORD kLabel = WS_GROUP | SS_LEFT | SS_NOPREFIX;
    constexpr DWORD kBox =
        WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_LEFT;
    // Each label comes before the box it names, for screen readers.
    Label1 =
        child(Control::Label1, L"STATIC", form_text::kYourComment, kLabel, kLabel1, Keys::None);
    CommentText = child(Control::CommentText, L"EDIT", Text(), kBox, kCommentText, Keys::ReadOnly,
                        L"宋体", layout::kDefaultFontPoints, WS_EX_CLIENTEDGE);
    Label2 = child(Control::Label2, L"STATIC", form_text::kTheAnswer, kLabel, kLabel2, Keys::None);
    AnswerText = child(Control::AnswerText, L"EDIT", Text(), kBox, kAnswerText, Keys::ReadOnly,
                       L"宋体", layout::kDefaultFontPoints, WS_EX_CLIENTEDGE);
    for (HWND box : {CommentText, AnswerText})
        SendMessageW(box, EM_SETLIMITTEXT, 0, 0); // no limit of its own
    Command1 = child(Control::Command1, L"BUTTON", form_text::kOk, WS_TABSTOP | BS_DEFPUSHBUTTON,
                     kCommand1, Keys::Button);
    on(Command1, BN_CLICKED, [this] { presenter_.Command1_Click(); });
}

void AnswerForm::setText(Control which, const Text& text) {
    Form::setText(which, which == Control::CommentText || which == Control::AnswerText
                             ? withCrLf(text)
                             : text);
}

bool AnswerForm::handle(UINT message, WPARAM, LPARAM, LRESULT& result) {
    if (message != kCloseKey)
        return false;
    presenter_.Command1_Click();
    result = 1;
    return true;
}

void AnswerForm::closed() {
    Label1 = CommentText = Label2 = AnswerText = Command1 = nullptr;
    presenter_.closed();
}

} // namespace pelvoran::win
