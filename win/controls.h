#pragma once
// What the controls of every window need outside a dialog box, and the
// measures of a window at its DPI.

#include "platform/text.h"

#include <windows.h>

namespace pelvoran::win {

/// Sent to a window when a key goes down in its code box: the key code and the
/// shift state, as present::key numbers them.
inline constexpr UINT kCodeBoxKeyDown = WM_APP + 1;

/// Sent to a window when Esc goes down in one of its controls, or Enter in a
/// read-only box: a window that closes on them answers non-zero, and the key
/// goes no further.
inline constexpr UINT kCloseKey = WM_APP + 2;

/// How a control takes the keyboard beyond its own handling: Tab moves on;
/// a button is pressed by Enter; the code box reports its keys; a read-only
/// box hands Enter to its window as Esc (kCloseKey).
enum class Keys : UINT_PTR { None, TabStop, Button, CodeBox, ReadOnly };

/// Gives a control the keyboard handling of `keys`.
void takeKeys(HWND control, Keys keys);

/// A text as the W functions take it (both are UTF-16).
inline const wchar_t* wide(const Text& t) {
    return reinterpret_cast<const wchar_t*>(t.c_str());
}

/// The text of a window or control.
Text windowText(HWND hwnd);

/// The DPI of a window (per monitor where Windows knows it), else the system's.
int dpiOf(HWND hwnd);

/// The outer size of a window whose client area is `client` pixels.
SIZE outerSize(SIZE client, DWORD style, DWORD exStyle, int dpi);

/// Draws a bitmap into an owner-drawn box from the top-left corner, at its
/// natural size on a 96 dpi screen and scaled with `dpi` on others, cut off
/// by the box.
void drawBitmap(const DRAWITEMSTRUCT& item, HBITMAP bitmap, int dpi);

} // namespace pelvoran::win
