#include "win/controls.h"

#include "present/view.h"

#include <commctrl.h>
#include <string>

namespace pelvoran::win {
namespace {

template <class Fn> Fn user32Function(const char* name) {
    const FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

} // namespace

int dpiOf(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = user32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && hwnd != nullptr) {
        const UINT dpi = getDpiForWindow(hwnd);
        if (dpi != 0)
            return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

SIZE outerSize(SIZE client, DWORD style, DWORD exStyle, int dpi) {
    using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = user32Function<AdjustFn>("AdjustWindowRectExForDpi");
    RECT r{0, 0, client.cx, client.cy};
    if (adjustForDpi != nullptr)
        adjustForDpi(&r, style, FALSE, exStyle, static_cast<UINT>(dpi));
    else
        AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return {r.right - r.left, r.bottom - r.top};
}

namespace {

int shiftState() {
    namespace k = present::key;
    return (GetKeyState(VK_SHIFT) < 0 ? k::kShift : 0) |
           (GetKeyState(VK_CONTROL) < 0 ? k::kCtrl : 0) | (GetKeyState(VK_MENU) < 0 ? k::kAlt : 0);
}

/// Keyboard handling the controls need outside a dialog box: Tab moves the
/// focus, Enter presses a focused button, Enter in the code box is reported
/// to its window and still reaches the box; Esc, and Enter in a read-only
/// box, are offered to the window to close it.
LRESULT CALLBACK controlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR kind,
                             DWORD_PTR) {
    const HWND parent = GetParent(hwnd);
    const auto keys = static_cast<Keys>(kind);
    switch (message) {
    case WM_KEYDOWN:
        if (wParam == VK_TAB) {
            const HWND next = GetNextDlgTabItem(parent, hwnd, GetKeyState(VK_SHIFT) < 0);
            if (next != nullptr)
                SetFocus(next);
            return 0;
        }
        if (wParam == VK_RETURN && keys == Keys::Button) {
            SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), BN_CLICKED),
                         reinterpret_cast<LPARAM>(hwnd));
            return 0;
        }
        if ((wParam == VK_ESCAPE || (wParam == VK_RETURN && keys == Keys::ReadOnly)) &&
            SendMessageW(parent, kCloseKey, 0, 0) != 0)
            return 0;
        static_assert(VK_RETURN == present::key::kEnter);
        if (keys == Keys::CodeBox)
            SendMessageW(parent, kCodeBoxKeyDown, wParam, shiftState());
        break;
    case WM_CHAR:
        // The Tab and Enter characters would only beep or, in the comment
        // box, put a tab in; Enter there starts a new line as usual.
        if (wParam == L'\t' || (wParam == L'\r' && keys != Keys::TabStop) ||
            (wParam == 0x1B && keys == Keys::ReadOnly))
            return 0;
        break;
    case WM_NCDESTROY: RemoveWindowSubclass(hwnd, &controlProc, kind); break;
    default: break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

} // namespace

void takeKeys(HWND control, Keys keys) {
    SetWindowSubclass(control, &controlProc, static_cast<UINT_PTR>(keys), 0);
}

Text windowText(HWND hwnd) {
    const int n = GetWindowTextLengthW(hwnd);
    std::wstring buf(static_cast<std::size_t>(n) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, buf.data(), n + 1);
    return Text(reinterpret_cast<const char16_t*>(buf.data()), static_cast<std::size_t>(got));
}

void drawBitmap(const DRAWITEMSTRUCT& item, HBITMAP bitmap, int dpi) {
    // The photograph from the top-left corner, grown with the window from
    // its 96 dpi size, cut off by the box.
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
    if (bitmap == nullptr)
        return;
    HDC memory = CreateCompatibleDC(item.hDC);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BITMAP info{};
    GetObjectW(bitmap, sizeof info, &info);
    const int mode = SetStretchBltMode(item.hDC, HALFTONE);
    POINT oldOrigin{};
    SetBrushOrgEx(item.hDC, 0, 0, &oldOrigin); // as HALFTONE asks
    StretchBlt(item.hDC, 0, 0, MulDiv(info.bmWidth, dpi, 96), MulDiv(info.bmHeight, dpi, 96),
               memory, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
    SetBrushOrgEx(item.hDC, oldOrigin.x, oldOrigin.y, nullptr);
    SetStretchBltMode(item.hDC, mode);
    SelectObject(memory, old);
    DeleteDC(memory);
}

} // namespace pelvoran::win
