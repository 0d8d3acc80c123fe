// The yardsticks for start-up: a bare Win32 window of the main window's size
// showing the same texts in the same controls and font, with nothing behind
// them (no update check, no query); and the fair window, built from this file
// with PELVORAN_BENCH_UPDATE_BASE, which first asks that server the update
// question as Pelvoran.exe does at start (one GET through WinHTTP, plain
// calls on the one thread, the reply read whole) and then shows the same
// window.
#include "forms/form_layout.h"
#include "forms/form_texts.h"

#include <cwchar>
#include <windows.h>
#ifdef PELVORAN_BENCH_UPDATE_BASE
#include <winhttp.h>
#endif

namespace {

using namespace pelvoran;

LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

const wchar_t* wide(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}

#ifdef PELVORAN_BENCH_UPDATE_BASE
/// The update question with today's date, as the program sends it, before
/// the window exists. Any failure only ends the exchange.
void askForUpdate() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t address[200];
    std::swprintf(address, 200, L"%ls/Canon/LensCheck.asp?Action=Check&D=%u/%u/%u%%20%u:%02u:%02u",
                  PELVORAN_BENCH_UPDATE_BASE, now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    wchar_t host[64];
    wchar_t path[160];
    parts.lpszHostName = host;
    parts.dwHostNameLength = 64;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 160;
    if (!WinHttpCrackUrl(address, 0, 0, &parts))
        return;
    HINTERNET session = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection =
        session != nullptr ? WinHttpConnect(session, host, parts.nPort, 0) : nullptr;
    HINTERNET request = connection != nullptr ? WinHttpOpenRequest(connection, L"GET", path,
                                                                   nullptr, WINHTTP_NO_REFERER,
                                                                   WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                              : nullptr;
    if (request != nullptr &&
        WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr)) {
        char buf[4096];
        DWORD got = 0;
        while (WinHttpReadData(request, buf, sizeof buf, &got) && got > 0) {
        }
    }
    for (HINTERNET h : {request, connection, session})
        if (h != nullptr)
            WinHttpCloseHandle(h);
}
#endif

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifdef PELVORAN_BENCH_UPDATE_BASE
    askForUpdate();
#endif
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &proc;
    wc.hInstance = instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"BareWindow";
    RegisterClassExW(&wc);
    namespace m = layout::main_window;
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r{0, 0, layout::toPixels(m::kClient.width), layout::toPixels(m::kClient.height)};
    AdjustWindowRectEx(&r, style, FALSE, 0);
    HWND w = CreateWindowExW(0, L"BareWindow", L"Pelvoran(v1.05 Powered By Brannoc)", style,
                             CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left, r.bottom - r.top,
                             nullptr, nullptr, instance, nullptr);
    HFONT font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH, L"宋体");
    struct Control {
        const wchar_t* cls;
        const char16_t* text;
        DWORD style;
        layout::Twips place;
    };
    const Control controls[] = {
        {L"STATIC", form_text::kCodeLabel, SS_LEFT, m::kLabel1},
        {L"EDIT", u"", WS_BORDER | ES_AUTOHSCROLL, m::kProdSNText},
        {L"BUTTON", form_text::kQueryButton, BS_PUSHBUTTON, m::kCommand1},
        {L"BUTTON", form_text::kHelpButton, BS_PUSHBUTTON, m::kCommand2},
        {L"STATIC", form_text::kStartNotice, SS_LEFT, m::kLabel2},
        {L"BUTTON", form_text::kCommentButton, BS_PUSHBUTTON, m::kCommand3},
    };
    for (const auto& c : controls) {
        HWND h = CreateWindowExW(0, c.cls, wide(c.text), WS_CHILD | WS_VISIBLE | c.style,
                                 layout::toPixels(c.place.left), layout::toPixels(c.place.top),
                                 layout::toPixels(c.place.width), layout::toPixels(c.place.height),
                                 w, nullptr, instance, nullptr);
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    ShowWindow(w, SW_SHOW);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DeleteObject(font);
    return 0;
}
