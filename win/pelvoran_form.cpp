#include "win/pelvoran_form.h"

#include "forms/form_texts.h"
#include "win/answer_form.h"
#include "win/comment_form.h"
#include "win/help_form.h"
#include "win/message_boxes.h"

namespace pelvoran::win {

using present::Control;

PelvoranForm::PelvoranForm(Services services, Announce announce)
    : Form({L"PelvoranForm", Text(), layout::main_window::kClient,
            WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX}),
      presenter_(*this, std::move(services), allMakers(), [] { PostQuitMessage(0); }),
      announce_(std::move(announce)) {}

present::WindowMakers PelvoranForm::allMakers() {
    present::WindowMakers m = makers();
    m.answer = [this](present::OpenWindows& windows) {
        auto form = std::make_shared<AnswerForm>(windows);
        answer_ = form.get();
        return std::shared_ptr<present::AnswerPresenter>(form, &form->presenter());
    };
    m.whenNoBoxOpen = [](std::function<void()> run) { whenNoBoxOpen(std::move(run)); };
    return m;
}

PelvoranForm::~PelvoranForm() {
    close();
}

void PelvoranForm::createControls() {
    using namespace layout::main_window;
    constexpr DWORD kLabel = WS_GROUP | SS_LEFT | SS_NOPREFIX;
    // Each label comes before the box it names, for screen readers; the
    // controls that take the focus keep their order.
    Label1 = child(Control::Label1, L"STATIC", form_text::kCodeLabel, kLabel, kLabel1, Keys::None);
    ProdSNText =
        child(Control::ProdSNText, L"EDIT", Text(), WS_TABSTOP | ES_AUTOHSCROLL | ES_LEFT,
              kProdSNText, Keys::CodeBox, L"宋体", layout::kDefaultFontPoints, WS_EX_CLIENTEDGE);
    SendMessageW(ProdSNText, EM_SETLIMITTEXT, kCodeMaxLength, 0);
    Command1 = child(Control::Command1, L"BUTTON", form_text::kQueryButton,
                     WS_TABSTOP | BS_PUSHBUTTON, kCommand1, Keys::Button);
    Command2 = child(Control::Command2, L"BUTTON", form_text::kHelpButton,
                     WS_TABSTOP | BS_PUSHBUTTON, kCommand2, Keys::Button);
    Label2 = child(Control::Label2, L"STATIC", Text(), kLabel, kLabel2, Keys::None);
    Command3 = child(Control::Command3, L"BUTTON", form_text::kCommentButton,
                     WS_TABSTOP | BS_PUSHBUTTON, kCommand3, Keys::Button);
    on(Command1, BN_CLICKED, [this] { presenter_.Command1_Click(); });
    on(Command2, BN_CLICKED, [this] { presenter_.Command2_Click(); });
    on(Command3, BN_CLICKED, [this] { presenter_.Command3_Click(); });
    on(ProdSNText, EN_UPDATE, [this] { applyPasteRule(); });
    on(ProdSNText, EN_CHANGE, [this] { presenter_.ProdSNText_Change(); });
}

void PelvoranForm::announce(Control which, const Text& text) {
    if (announce_)
        announce_(control(which), text);
}

void PelvoranForm::applyPasteRule() {
    const Text now = windowText(ProdSNText);
    const present::BoxEdit kept = presenter_.ProdSNText_Edit(now, cursor(Control::ProdSNText));
    if (kept.text == now)
        return;
    setText(Control::ProdSNText, kept.text);
    SendMessageW(ProdSNText, EM_SETSEL, kept.cursor, static_cast<LPARAM>(kept.cursor));
}

bool PelvoranForm::handle(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (message != kCodeBoxKeyDown)
        return false;
    presenter_.ProdSNText_KeyDown(static_cast<int>(wParam), static_cast<int>(lParam));
    result = 0;
    return true;
}

void PelvoranForm::closed() {
    ProdSNText = Label1 = Command1 = Command2 = Label2 = Command3 = nullptr;
    presenter_.closed();
}

} // namespace pelvoran::win
