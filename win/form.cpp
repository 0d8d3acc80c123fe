#include "win/form.h"

#include "win/announce.h"
#include "win/controls.h"
#include "win/label.h"
#include "win/message_boxes.h"

#include <algorithm>
#include <cmath>
#include <commctrl.h>
#include <stdexcept>
#include <string_view>

namespace pelvoran::win {
namespace {

SIZE outerSizeOf(const FormStyle& style, int dpi) {
    return outerSize(
        {layout::toPixels(style.client.width, dpi), layout::toPixels(style.client.height, dpi)},
        style.style, style.exStyle, dpi);
}

/// A window of `outer` size centred on the primary screen's work area.
RECT centredOnWorkArea(SIZE outer) {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const LONG left = work.left + (work.right - work.left - outer.cx) / 2;
    const LONG top = work.top + (work.bottom - work.top - outer.cy) / 2;
    return {left, top, left + outer.cx, top + outer.cy};
}

} // namespace

LRESULT CALLBACK formProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* form = static_cast<Form*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
        form->hwnd_ = hwnd;
    }
    auto* form = reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (form == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        form->discard();
        form->closed();
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return form->dispatch(message, wParam, lParam);
}

void registerWindowClasses(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const auto icon = [&](int size) {
        return static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    };
    // One icon of each size serves every class: every load makes a new icon,
    // and start-up waits for each.
    const HICON bigIcon = icon(GetSystemMetrics(SM_CXICON));
    const HICON smallIcon = icon(GetSystemMetrics(SM_CXSMICON));
    for (const wchar_t* name : {L"PelvoranForm", L"HelpForm", L"CommentForm", L"AnswerForm"}) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &formProc;
        wc.hInstance = instance;
        wc.hIcon = bigIcon;
        wc.hIconSm = smallIcon;
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = name;
        RegisterClassExW(&wc);
    }
}

Form::~Form() {
    // Derived windows close theirs while their presenter is still there; this
    // only catches what is left.
    if (hwnd_ != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
    discard();
}

void Form::discard() {
    hwnd_ = nullptr;
    focused_ = nullptr;
    placed_.clear();
    commands_.clear();
    for (auto& f : fonts_)
        DeleteObject(f.font);
    fonts_.clear();
    if (picture_ != nullptr)
        DeleteObject(picture_);
    picture_ = nullptr;
}

HFONT Form::font(const wchar_t* face, double points) {
    for (const auto& f : fonts_)
        if (f.face == face && f.points == points)
            return f.font;
    const int height = -static_cast<int>(std::lround(points * dpi_ / 72.0));
    HFONT f = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, face);
    fonts_.push_back({face, points, f});
    return f;
}

void Form::load() {
    // Made where it will show, at the size it will have: a window made at
    // the default size and then moved first gets a surface of that size.
    dpi_ = dpiOf(nullptr);
    const RECT place = centredOnWorkArea(outerSizeOf(style_, dpi_));
    if (CreateWindowExW(style_.exStyle, style_.className, wide(style_.caption), style_.style,
                        place.left, place.top, place.right - place.left, place.bottom - place.top,
                        nullptr, nullptr, GetModuleHandleW(nullptr), this) == nullptr)
        throw std::runtime_error("cannot create a window");
    // The screen it is on may have a DPI of its own.
    const int dpi = dpiOf(hwnd_);
    if (dpi != dpi_) {
        dpi_ = dpi;
        const RECT there = centredOnWorkArea(outerSizeOf(style_, dpi_));
        SetWindowPos(hwnd_, nullptr, there.left, there.top, there.right - there.left,
                     there.bottom - there.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    createControls();
}

HWND Form::child(present::Control which, const wchar_t* className, const Text& text, DWORD style,
                 const layout::Twips& place, Keys keys, const wchar_t* face, double points,
                 DWORD exStyle) {
    HWND control =
        CreateWindowExW(exStyle, className, wide(text), WS_CHILD | WS_VISIBLE | style,
                        layout::toPixels(place.left, dpi_), layout::toPixels(place.top, dpi_),
                        layout::toPixels(place.width, dpi_), layout::toPixels(place.height, dpi_),
                        hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(placed_.size() + 100)),
                        GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font(face, points)), FALSE);
    placed_.push_back({which, control, place, face, points});
    if (keys != Keys::None)
        takeKeys(control, keys);
    if (std::wstring_view(className) == L"STATIC" && (style & SS_TYPEMASK) == SS_LEFT)
        paintAsLabel(control);
    return control;
}

void Form::on(HWND control, WORD notification, std::function<void()> action) {
    commands_.push_back({control, notification, std::move(action)});
}

HWND Form::control(present::Control which) const {
    for (const auto& p : placed_)
        if (p.name == which)
            return p.control;
    return nullptr;
}

void Form::relayout(int newDpi, const RECT* suggested) {
    dpi_ = newDpi;
    for (auto& f : fonts_)
        DeleteObject(f.font);
    fonts_.clear();
    for (const auto& p : placed_) {
        SetWindowPos(p.control, nullptr, layout::toPixels(p.place.left, dpi_),
                     layout::toPixels(p.place.top, dpi_), layout::toPixels(p.place.width, dpi_),
                     layout::toPixels(p.place.height, dpi_), SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(p.control, WM_SETFONT, reinterpret_cast<WPARAM>(font(p.face, p.points)), TRUE);
    }
    const SIZE outer = outerSizeOf(style_, dpi_);
    if (suggested != nullptr)
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, outer.cx, outer.cy,
                     SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::show() {
    ShowWindow(hwnd_, SW_SHOW);
    raise();
}

void Form::raise() {
    if (IsIconic(hwnd_))
        ShowWindow(hwnd_, SW_RESTORE);
    SetWindowPos(hwnd_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(hwnd_);
}

void Form::close() {
    if (hwnd_ != nullptr)
        DestroyWindow(hwnd_);
}

void Form::focus(present::Control which) {
    SetFocus(control(which));
}

void Form::setText(present::Control which, const Text& text) {
    SetWindowTextW(which == present::Control::Window ? hwnd_ : control(which), wide(text));
}

Text Form::text(present::Control which) const {
    return windowText(which == present::Control::Window ? hwnd_ : control(which));
}

std::size_t Form::cursor(present::Control which) const {
    DWORD end = 0;
    SendMessageW(control(which), EM_GETSEL, 0, reinterpret_cast<LPARAM>(&end));
    return end;
}

void Form::setPicture(present::Control which, int bitmapId) {
    if (picture_ != nullptr)
        DeleteObject(picture_);
    picture_ =
        static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(bitmapId),
                                        IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (picture_ == nullptr)
        throw std::runtime_error("a bitmap is missing from the resources");
    InvalidateRect(control(which), nullptr, TRUE);
}

void Form::announce(present::Control which, const Text& text) {
    announceByUiAutomation(control(which), text);
}

void Form::speakForMessageBoxes(bool speak) {
    boxesSpeakFor(speak ? hwnd_ : nullptr);
}

bool Form::handle(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

LRESULT Form::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (handle(message, wParam, lParam, result))
        return result;
    switch (message) {
    case WM_COMMAND:
        for (const auto& c : commands_) {
            if (reinterpret_cast<HWND>(lParam) == c.control && HIWORD(wParam) == c.notification) {
                const auto action = c.action; // the action may close the window
                action();
                return 0;
            }
        }
        break;
    case WM_DRAWITEM:
        drawBitmap(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam), picture_, dpi_);
        return TRUE;
    case WM_NCHITTEST:
        if (style_.draggedByBody) {
            const LRESULT hit = DefWindowProcW(hwnd_, message, wParam, lParam);
            return hit == HTCLIENT ? HTCAPTION : hit;
        }
        break;
    case WM_ACTIVATE:
        // As the dialog manager does: the control that had the focus gets it
        // back, rather than the window itself.
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND had = GetFocus();
            if (had != nullptr && IsChild(hwnd_, had))
                focused_ = had;
        } else if (HIWORD(wParam) == 0 && focused_ != nullptr && IsChild(hwnd_, focused_)) {
            SetFocus(focused_);
            return 0;
        }
        break;
    case WM_CLOSE: DestroyWindow(hwnd_); return 0;
    case WM_DPICHANGED: relayout(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam)); return 0;
    case WM_GETFONT:
        // The window's own font; every control sets its own.
        return reinterpret_cast<LRESULT>(font(style_.face, style_.points));
    default: break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

} // namespace pelvoran::win
