#include "win/label.h"

#include "forms/form_layout.h"
#include "forms/form_rules.h"
#include "win/form.h"

#include <commctrl.h>

namespace pelvoran::win {
namespace {

void paintLabel(HWND label, HDC dc) {
    RECT box{};
    GetClientRect(label, &box);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    auto brush = reinterpret_cast<HBRUSH>(SendMessageW(GetParent(label), WM_CTLCOLORSTATIC,
                                                       reinterpret_cast<WPARAM>(dc),
                                                       reinterpret_cast<LPARAM>(label)));
    FillRect(dc, &box, brush != nullptr ? brush : GetSysColorBrush(COLOR_BTNFACE));
    auto font = reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0));
    const HGDIOBJ oldFont =
        SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int pixelSize = metrics.tmHeight - metrics.tmInternalLeading;
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const UINT oldAlign = SetTextAlign(dc, TA_LEFT | TA_BASELINE | TA_NOUPDATECP);

    const auto measure = [dc](TextView run) {
        SIZE size{};
        GetTextExtentPoint32W(dc, reinterpret_cast<const wchar_t*>(run.data()),
                              static_cast<int>(run.size()), &size);
        return static_cast<int>(size.cx);
    };
    const Text text = windowText(label);
    int baseline = box.top + pixelSize;
    for (const TextView line : form_rule::wrapLabel(text, box.right - box.left, measure)) {
        if (baseline - pixelSize >= box.bottom)
            break;
        ExtTextOutW(dc, box.left, baseline, ETO_CLIPPED, &box,
                    reinterpret_cast<const wchar_t*>(line.data()), static_cast<UINT>(line.size()),
                    nullptr);
        baseline += layout::lineStep(pixelSize);
    }
    SetTextAlign(dc, oldAlign);
    SetBkMode(dc, oldMode);
    SelectObject(dc, oldFont);
}

LRESULT CALLBACK labelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                           DWORD_PTR) {
    switch (message) {
    case WM_ERASEBKGND: return 1; // painted whole below
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        paintLabel(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_PRINTCLIENT: paintLabel(hwnd, reinterpret_cast<HDC>(wParam)); return 0;
    // The static control draws its own text straight onto the screen, not
    // through WM_PAINT, when its text or state changes (wine does so on
    // WM_SETTEXT, WM_ENABLE and WM_SYSCOLORCHANGE). The window procedure
    // keeps the text and tells screen readers of the new name; the label
    // then paints itself at once, as the control would have.
    case WM_SETTEXT: {
        const LRESULT stored = DefWindowProcW(hwnd, message, wParam, lParam);
        RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        return stored;
    }
    case WM_ENABLE:
    case WM_SYSCOLORCHANGE:
        RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        return 0;
    case WM_NCDESTROY: RemoveWindowSubclass(hwnd, &labelProc, id); break;
    default: break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

} // namespace

void paintAsLabel(HWND control) {
    SetWindowSubclass(control, &labelProc, 0, 0);
}

} // namespace pelvoran::win
