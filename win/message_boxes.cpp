#include "win/message_boxes.h"

#include "win/controls.h"

#include "forms/form_rules.h"
#include "forms/form_texts.h"

#include <string_view>
#include <vector>
#include <windows.h>

namespace pelvoran::win {
namespace {

/// Tells whether a message box with this text stays inside the work area.
/// The text is measured in the message font 200 pixels wide (at 96 dpi),
/// narrower than the boxes of Windows and wine wrap it, so the real box is
/// never taller; the title bar, the buttons and the margins are reserved
/// around it.
class BoxMeasure {
public:
    BoxMeasure() {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work_, 0);
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        font_ = CreateFontIndirectW(&metrics.lfMessageFont);
        dc_ = CreateCompatibleDC(nullptr);
        old_ = SelectObject(dc_, font_);
        TEXTMETRICW text{};
        GetTextMetricsW(dc_, &text);
        // Caption, frame, the button row and the margins above and below it.
        reserved_ = GetSystemMetrics(SM_CYCAPTION) + 2 * GetSystemMetrics(SM_CYFIXEDFRAME) +
                    6 * text.tmHeight + 40;
    }
    ~BoxMeasure() {
        SelectObject(dc_, old_);
        DeleteDC(dc_);
        DeleteObject(font_);
    }
    BoxMeasure(const BoxMeasure&) = delete;
    BoxMeasure& operator=(const BoxMeasure&) = delete;

    bool fits(const Text& text) const {
        RECT r{0, 0, MulDiv(200, GetDeviceCaps(dc_, LOGPIXELSY), 96), 0};
        DrawTextW(dc_, wide(text), static_cast<int>(text.size()), &r,
                  DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
        return r.bottom - r.top + reserved_ <= work_.bottom - work_.top;
    }

private:
    RECT work_{};
    HFONT font_ = nullptr;
    HDC dc_ = nullptr;
    HGDIOBJ old_ = nullptr;
    int reserved_ = 0;
};

/// The window that the thread's boxes speak for.
HWND g_speaker = nullptr;

/// How many of the thread's boxes are open (one over another, at most a few),
/// and what waits for none to be.
int g_openBoxes = 0;
std::vector<std::function<void()>> g_waiting;

/// Runs what waited for the boxes, from the message loop: the code that
/// showed the last box has gone on by then.
void CALLBACK runWaiting(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    std::vector<std::function<void()>> due;
    due.swap(g_waiting);
    for (auto& run : due)
        whenNoBoxOpen(std::move(run)); // a box that one of them opened holds the rest
}

/// Names the box's buttons in Chinese whatever the display language: the
/// boxes' texts speak of 确定.
LRESULT CALLBACK nameButtons(int code, WPARAM wParam, LPARAM lParam) {
    wchar_t className[8] = {};
    if (code == HCBT_ACTIVATE && GetClassNameW(reinterpret_cast<HWND>(wParam), className, 8) > 0 &&
        std::wstring_view(className) == L"#32770") {
        const auto box = reinterpret_cast<HWND>(wParam);
        if (const HWND ok = GetDlgItem(box, IDOK))
            SetWindowTextW(ok, wide(form_text::kOk));
        if (const HWND cancel = GetDlgItem(box, IDCANCEL))
            SetWindowTextW(cancel, wide(form_text::kCancel));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

/// The hook over one box of this thread.
class ButtonNames {
public:
    ButtonNames() : hook_(SetWindowsHookExW(WH_CBT, &nameButtons, nullptr, GetCurrentThreadId())) {}
    ~ButtonNames() {
        if (hook_ != nullptr)
            UnhookWindowsHookEx(hook_);
    }
    ButtonNames(const ButtonNames&) = delete;
    ButtonNames& operator=(const ButtonNames&) = delete;

private:
    HHOOK hook_;
};

} // namespace

void boxesSpeakFor(HWND window) {
    g_speaker = window;
}

MessageAnswer Win32MessageBoxes::show(const Text& message, const Text& title,
                                      MessageButtons buttons) {
    const BoxMeasure measure;
    const Text shown =
        form_rule::fitMessage(message, [&](const Text& text) { return measure.fits(text); });
    const UINT type = (buttons == MessageButtons::OkCancel ? MB_OKCANCEL : MB_OK) | MB_DEFBUTTON1 |
                      MB_TASKMODAL | MB_SETFOREGROUND;
    const HWND owner = IsWindow(g_speaker) ? g_speaker : nullptr;
    const ButtonNames names;
    ++g_openBoxes;
    const int answer = MessageBoxW(owner, wide(shown), wide(title), type);
    if (--g_openBoxes == 0 && !g_waiting.empty())
        SetTimer(nullptr, 0, USER_TIMER_MINIMUM, &runWaiting);
    return answer == IDOK ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

void whenNoBoxOpen(std::function<void()> run) {
    if (g_openBoxes == 0)
        run();
    else
        g_waiting.push_back(std::move(run));
}

} // namespace pelvoran::win
