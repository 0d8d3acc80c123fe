#include "win/win_forms.h"

#include "forms/form_rules.h"
#include "forms/form_texts.h"

#include <algorithm>
#include <cmath>
#include <commctrl.h>
#include <stdexcept>
#include <string_view>

namespace pelvoran::win {
namespace {

constexpr wchar_t kSong[] = L"宋体";
constexpr wchar_t kNewSong[] = L"新宋体";

/// The key code of a key going down in the code box, sent to its window.
constexpr UINT kCodeBoxKeyDown = WM_APP + 1;

// Control identifiers, one range per window.
enum : int {
    kMainProdSNText = 101,
    kMainLabel1,
    kMainCommand1,
    kMainCommand2,
    kMainLabel2,
    kMainCommand3,
    kHelpLabel1 = 201,
    kHelpPicture1,
    kHelpCommand1,
    kCommentText = 301,
    kCommentCommand1,
};

// What a control's keyboard handling adds to the control's own.
enum : UINT_PTR { kTabStop = 1, kButton, kCodeBox };

int g_openWindows = 0;

const wchar_t* wide(const Text& t) {
    return reinterpret_cast<const wchar_t*>(t.c_str());
}

template <class Fn> Fn user32Function(const char* name) {
    const FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

/// The DPI of a window (per monitor where Windows knows it), else the system's.
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

/// The outer size of a window whose client area is `client` pixels.
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

int shiftState() {
    return (GetKeyState(VK_SHIFT) < 0 ? 1 : 0) | (GetKeyState(VK_CONTROL) < 0 ? 2 : 0) |
           (GetKeyState(VK_MENU) < 0 ? 4 : 0);
}

/// Keyboard handling the controls need outside a dialog box: Tab moves the
/// focus, Enter presses a focused button, Enter in the code box runs the
/// query and still reaches the box.
LRESULT CALLBACK controlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR kind,
                             DWORD_PTR) {
    const HWND parent = GetParent(hwnd);
    switch (message) {
    case WM_KEYDOWN:
        if (wParam == VK_TAB) {
            const HWND next = GetNextDlgTabItem(parent, hwnd, GetKeyState(VK_SHIFT) < 0);
            if (next != nullptr)
                SetFocus(next);
            return 0;
        }
        if (wParam == VK_RETURN && kind == kButton) {
            SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), BN_CLICKED),
                         reinterpret_cast<LPARAM>(hwnd));
            return 0;
        }
        if (wParam == VK_RETURN && kind == kCodeBox)
            SendMessageW(parent, kCodeBoxKeyDown, 13, shiftState());
        break;
    case WM_CHAR:
        // The Tab and Enter characters would only beep or, in the comment
        // box, put a tab in; Enter there starts a new line as usual.
        if (wParam == L'\t' || (wParam == L'\r' && kind != kTabStop))
            return 0;
        break;
    case WM_NCDESTROY: RemoveWindowSubclass(hwnd, &controlProc, kind); break;
    default: break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

void setText(HWND hwnd, const Text& text) {
    SetWindowTextW(hwnd, wide(text));
}

// How a label's text wraps: ideographs may end a line anywhere, other text at
// its blanks, and the punctuation that closes a phrase stays with it.
bool isIdeographic(char16_t c) {
    return (c >= 0x2E80 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFFEF);
}

bool neverStartsALine(char16_t c) {
    return TextView(u"，。、；：？！）》」』】〕〉”’…·,.;:?!)]}%").find(c) != TextView::npos ||
           (c >= 0xDC00 && c <= 0xDFFF);
}

bool neverEndsALine(char16_t c) {
    return TextView(u"（《「『【〔〈“‘([{").find(c) != TextView::npos ||
           (c >= 0xD800 && c <= 0xDBFF);
}

bool canBreakBefore(TextView s, std::size_t p) {
    const char16_t before = s[p - 1];
    const char16_t after = s[p];
    if (neverStartsALine(after) || neverEndsALine(before))
        return false;
    return (before == u' ' && after != u' ') || isIdeographic(before) || isIdeographic(after);
}

/// The lines one paragraph takes in a box `width` pixels wide, in the font
/// selected into `dc`: as much as fits, ended where a line may end, else
/// where it reaches the edge. Blanks at the end of a line hang past the edge.
std::vector<TextView> wrapParagraph(HDC dc, TextView paragraph, int width) {
    std::vector<TextView> lines;
    std::size_t start = 0;
    do {
        const TextView rest = paragraph.substr(start);
        int fit = 0;
        SIZE extent{};
        GetTextExtentExPointW(dc, reinterpret_cast<const wchar_t*>(rest.data()),
                              static_cast<int>(rest.size()), std::max(width, 0), &fit, nullptr,
                              &extent);
        std::size_t end = start + static_cast<std::size_t>(std::max(fit, 0));
        std::size_t next = end;
        while (next < paragraph.size() && paragraph[next] == u' ')
            ++next;
        if (end < paragraph.size() && next == end) {
            std::size_t b = end;
            while (b > start && !canBreakBefore(paragraph, b))
                --b;
            if (b == start) { // nowhere to end a line: cut it at the edge
                b = std::max(end, start + 1);
                if (b < paragraph.size() && paragraph[b] >= 0xDC00 && paragraph[b] <= 0xDFFF)
                    b = b - 1 > start ? b - 1 : b + 1;
            }
            end = next = b;
        }
        lines.push_back(paragraph.substr(start, end - start));
        start = next;
    } while (start < paragraph.size());
    return lines;
}

/// Paints a label: its text wrapped within the box, a line break (CR LF, CR
/// or LF) starting a new line, baselines layout::lineStep() apart with the
/// first one a font size below the top, and what does not fit cut off at the
/// bottom. The labels are sized for that step whatever font stands in for
/// SimSun.
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
    const int step = layout::lineStep(pixelSize);
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const UINT oldAlign = SetTextAlign(dc, TA_LEFT | TA_BASELINE | TA_NOUPDATECP);

    const Text text = windowText(label);
    const TextView all(text);
    int baseline = box.top + pixelSize;
    std::size_t start = 0;
    while (start <= all.size() && baseline - pixelSize < box.bottom) {
        std::size_t end = all.find_first_of(u"\r\n", start);
        if (end == TextView::npos)
            end = all.size();
        for (const TextView line :
             wrapParagraph(dc, all.substr(start, end - start), box.right - box.left)) {
            ExtTextOutW(dc, box.left, baseline, ETO_CLIPPED, &box,
                        reinterpret_cast<const wchar_t*>(line.data()),
                        static_cast<UINT>(line.size()), nullptr);
            baseline += step;
        }
        if (end < all.size() && all[end] == u'\r' && end + 1 < all.size() && all[end + 1] == u'\n')
            ++end;
        start = end + 1;
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
    case WM_NCDESTROY: RemoveWindowSubclass(hwnd, &labelProc, id); break;
    default: break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

} // namespace

Text windowText(HWND hwnd) {
    const int n = GetWindowTextLengthW(hwnd);
    std::wstring buf(static_cast<std::size_t>(n) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, buf.data(), n + 1);
    return Text(reinterpret_cast<const char16_t*>(buf.data()), static_cast<std::size_t>(got));
}

int openWindowCount() {
    return g_openWindows;
}

MessageAnswer Win32MessageBoxes::show(const Text& message, const Text& title,
                                      MessageButtons buttons) {
    const UINT type = (buttons == MessageButtons::OkCancel ? MB_OKCANCEL : MB_OK) | MB_DEFBUTTON1 |
                      MB_TASKMODAL | MB_SETFOREGROUND;
    return MessageBoxW(nullptr, wide(message), wide(title), type) == IDOK ? MessageAnswer::Ok
                                                                          : MessageAnswer::Cancel;
}

// ---------------------------------------------------------------------------
// Form

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
        form->hwnd_ = nullptr;
        form->placed_.clear();
        form->releaseFonts();
        form->unloaded();
        if (--g_openWindows == 0)
            PostQuitMessage(0);
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return form->handle(message, wParam, lParam);
}

void registerWindowClasses(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const auto icon = [&](int size) {
        return static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    };
    for (const wchar_t* name : {L"PelvoranForm", L"HelpForm", L"CommentForm"}) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &formProc;
        wc.hInstance = instance;
        wc.hIcon = icon(GetSystemMetrics(SM_CXICON));
        wc.hIconSm = icon(GetSystemMetrics(SM_CXSMICON));
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = name;
        RegisterClassExW(&wc);
    }
}

Form::~Form() {
    if (hwnd_ != nullptr)
        DestroyWindow(hwnd_);
    releaseFonts();
}

void Form::close() {
    if (hwnd_ != nullptr)
        DestroyWindow(hwnd_);
}

void Form::releaseFonts() {
    for (auto& f : fonts_)
        DeleteObject(f.font);
    fonts_.clear();
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

void Form::load(const wchar_t* className, const Text& caption, const layout::Twips& client,
                DWORD style, DWORD exStyle) {
    client_ = client;
    style_ = style;
    exStyle_ = exStyle;
    dpi_ = dpiOf(nullptr);
    if (CreateWindowExW(exStyle, className, wide(caption), style, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleW(nullptr),
                        this) == nullptr)
        throw std::runtime_error("cannot create a window");
    ++g_openWindows;
    // Centred on the primary screen's work area, at the DPI found there.
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    dpi_ = dpiOf(hwnd_);
    const SIZE outer =
        outerSize({layout::toPixels(client.width, dpi_), layout::toPixels(client.height, dpi_)},
                  style, exStyle, dpi_);
    SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - outer.cx) / 2,
                 work.top + (work.bottom - work.top - outer.cy) / 2, outer.cx, outer.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    createControls();
}

HWND Form::child(const wchar_t* className, const Text& text, DWORD style, int id,
                 const layout::Twips& place, const wchar_t* face, double points, DWORD exStyle) {
    HWND control = CreateWindowExW(
        exStyle, className, wide(text), WS_CHILD | WS_VISIBLE | style,
        layout::toPixels(place.left, dpi_), layout::toPixels(place.top, dpi_),
        layout::toPixels(place.width, dpi_), layout::toPixels(place.height, dpi_), hwnd_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font(face, points)), FALSE);
    placed_.push_back({control, place, face, points});
    if (style & WS_TABSTOP)
        SetWindowSubclass(control, &controlProc, kTabStop, 0);
    if (std::wstring_view(className) == L"STATIC" && (style & SS_TYPEMASK) == SS_LEFT)
        SetWindowSubclass(control, &labelProc, 0, 0);
    return control;
}

void Form::relayout(int newDpi, const RECT* suggested) {
    dpi_ = newDpi;
    releaseFonts();
    for (const auto& p : placed_) {
        SetWindowPos(p.control, nullptr, layout::toPixels(p.place.left, dpi_),
                     layout::toPixels(p.place.top, dpi_), layout::toPixels(p.place.width, dpi_),
                     layout::toPixels(p.place.height, dpi_), SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(p.control, WM_SETFONT, reinterpret_cast<WPARAM>(font(p.face, p.points)), TRUE);
    }
    const SIZE outer =
        outerSize({layout::toPixels(client_.width, dpi_), layout::toPixels(client_.height, dpi_)},
                  style_, exStyle_, dpi_);
    if (suggested != nullptr)
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, outer.cx, outer.cy,
                     SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::showAndActivate(HWND focus) {
    ShowWindow(hwnd_, SW_SHOW);
    bringToFront();
    if (focus != nullptr)
        SetFocus(focus);
}

void Form::bringToFront() {
    if (IsIconic(hwnd_))
        ShowWindow(hwnd_, SW_RESTORE);
    SetWindowPos(hwnd_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(hwnd_);
}

LRESULT Form::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE: DestroyWindow(hwnd_); return 0;
    case WM_DPICHANGED: relayout(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam)); return 0;
    case WM_GETFONT:
        // The window's own font; every control sets its own.
        return reinterpret_cast<LRESULT>(font(windowFace_, windowPoints_));
    default: return DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}

// ---------------------------------------------------------------------------
// The main window

PelvoranForm::PelvoranForm(Services services)
    : services_(std::move(services)), query_(services_.regional), update_(services_) {}

PelvoranForm::~PelvoranForm() = default;

void PelvoranForm::createControls() {
    using namespace layout::main_window;
    constexpr DWORD kLabel = WS_GROUP | SS_LEFT | SS_NOPREFIX;
    // Each label comes before the box it names, for screen readers; the
    // controls that take the focus keep their order.
    Label1 = child(L"STATIC", form_text::kCodeLabel, kLabel, kMainLabel1, kLabel1, kSong,
                   layout::kDefaultFontPoints);
    ProdSNText = child(L"EDIT", Text(), WS_TABSTOP | ES_AUTOHSCROLL | ES_LEFT, kMainProdSNText,
                       kProdSNText, kSong, layout::kDefaultFontPoints, WS_EX_CLIENTEDGE);
    SendMessageW(ProdSNText, EM_SETLIMITTEXT, kCodeMaxLength, 0);
    SetWindowSubclass(ProdSNText, &controlProc, kCodeBox, 0);
    Command1 = child(L"BUTTON", form_text::kQueryButton, WS_TABSTOP | BS_PUSHBUTTON, kMainCommand1,
                     layout::main_window::kCommand1, kSong, layout::kDefaultFontPoints);
    Command2 = child(L"BUTTON", form_text::kHelpButton, WS_TABSTOP | BS_PUSHBUTTON, kMainCommand2,
                     layout::main_window::kCommand2, kSong, layout::kDefaultFontPoints);
    Label2 =
        child(L"STATIC", Text(), kLabel, kMainLabel2, kLabel2, kSong, layout::kDefaultFontPoints);
    Command3 =
        child(L"BUTTON", form_text::kCommentButton, WS_TABSTOP | BS_PUSHBUTTON, kMainCommand3,
              layout::main_window::kCommand3, kSong, layout::kDefaultFontPoints);
    for (HWND button : {Command1, Command2, Command3})
        SetWindowSubclass(button, &controlProc, kButton, 0);
}

void PelvoranForm::Form_Load() {
    load(L"PelvoranForm", form_text::mainCaption(services_.regional), layout::main_window::kClient,
         WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0);
    setText(Label2, form_text::kStartNotice);
    update_.CheckUpdate(); // an accepted update ends the process in here
}

void PelvoranForm::showCentred() {
    showAndActivate(ProdSNText);
}

LRESULT PelvoranForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kCodeBoxKeyDown) {
        ProdSNText_KeyDown(static_cast<int>(wParam), static_cast<int>(lParam));
        return 0;
    }
    if (message == WM_COMMAND) {
        switch (LOWORD(wParam)) {
        case kMainCommand1:
            if (HIWORD(wParam) == BN_CLICKED)
                Command1_Click();
            return 0;
        case kMainCommand2:
            if (HIWORD(wParam) == BN_CLICKED)
                Command2_Click();
            return 0;
        case kMainCommand3:
            if (HIWORD(wParam) == BN_CLICKED)
                Command3_Click();
            return 0;
        case kMainProdSNText:
            if (HIWORD(wParam) == EN_CHANGE)
                ProdSNText_Change();
            return 0;
        default: break;
        }
    }
    return Form::handle(message, wParam, lParam);
}

void PelvoranForm::Command1_Click() {
    setText(Label2, query_.Command1_Click(windowText(ProdSNText)));
}

void PelvoranForm::Command2_Click() {
    if (!help_)
        help_ = std::make_unique<HelpForm>();
    help_->showLoaded();
}

void PelvoranForm::Command3_Click() {
    if (!comment_)
        comment_ = std::make_unique<CommentForm>(services_);
    comment_->showLoaded();
}

void PelvoranForm::ProdSNText_Change() {
    setText(Label2, Text());
}

void PelvoranForm::ProdSNText_KeyDown(int KeyCode, int /*Shift*/) {
    if (KeyCode == 13)
        Command1_Click();
}

// ---------------------------------------------------------------------------
// The help window

HelpForm::~HelpForm() {
    if (bitmap_ != nullptr)
        DeleteObject(bitmap_);
}

void HelpForm::createControls() {
    using namespace layout::help_window;
    setWindowFont(kNewSong, kWindowFontPoints);
    Label1 = child(L"STATIC", form_text::kHelpLabelUnloaded, SS_LEFT | SS_NOPREFIX, kHelpLabel1,
                   layout::help_window::kLabel1, kSong, kLabelFontPoints);
    Picture1 = child(L"STATIC", form_text::kPictureName, SS_OWNERDRAW, kHelpPicture1, kPicture1,
                     kSong, kControlFontPoints, WS_EX_CLIENTEDGE);
    Command1 = child(L"BUTTON", form_text::kOk, WS_TABSTOP | BS_PUSHBUTTON, kHelpCommand1,
                     layout::help_window::kCommand1, kSong, kControlFontPoints);
    SetWindowSubclass(Command1, &controlProc, kButton, 0);
}

void HelpForm::showLoaded() {
    if (isOpen()) {
        bringToFront();
        return;
    }
    // No title bar: a plain frame around the client area, dragged by its body.
    load(L"HelpForm", Text(), layout::help_window::kClient, WS_POPUP | WS_DLGFRAME,
         WS_EX_APPWINDOW);
    Form_Load();
    showAndActivate(Command1);
}

void HelpForm::Form_Load() {
    setText(Label1, form_text::helpText());
    if (bitmap_ != nullptr)
        DeleteObject(bitmap_);
    bitmap_ = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr),
                                              MAKEINTRESOURCEW(layout::help_window::kBitmapId),
                                              IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (bitmap_ == nullptr)
        throw std::runtime_error("bitmap 100 is missing from the resources");
    InvalidateRect(Picture1, nullptr, TRUE);
}

void HelpForm::unloaded() {
    if (bitmap_ != nullptr)
        DeleteObject(bitmap_);
    bitmap_ = nullptr;
    Label1 = Picture1 = Command1 = nullptr;
}

LRESULT HelpForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == kHelpCommand1 && HIWORD(wParam) == BN_CLICKED) {
            Command1_Click();
            return 0;
        }
        break;
    case WM_NCHITTEST: {
        const LRESULT hit = DefWindowProcW(hwnd(), message, wParam, lParam);
        return hit == HTCLIENT ? HTCAPTION : hit;
    }
    case WM_DRAWITEM: {
        // The photograph at its natural size from the top-left corner,
        // cut off by the box.
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlID != kHelpPicture1)
            break;
        FillRect(item->hDC, &item->rcItem, GetSysColorBrush(COLOR_BTNFACE));
        if (bitmap_ != nullptr) {
            HDC memory = CreateCompatibleDC(item->hDC);
            const HGDIOBJ old = SelectObject(memory, bitmap_);
            BITMAP info{};
            GetObjectW(bitmap_, sizeof info, &info);
            BitBlt(item->hDC, 0, 0, std::min<LONG>(info.bmWidth, item->rcItem.right),
                   std::min<LONG>(info.bmHeight, item->rcItem.bottom), memory, 0, 0, SRCCOPY);
            SelectObject(memory, old);
            DeleteDC(memory);
        }
        return TRUE;
    }
    default: break;
    }
    return Form::handle(message, wParam, lParam);
}

void HelpForm::Command1_Click() {
    close();
}

// ---------------------------------------------------------------------------
// The comment window

void CommentForm::createControls() {
    using namespace layout::comment_window;
    CommentText = child(L"EDIT", Text(), WS_TABSTOP | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL,
                        kCommentText, layout::comment_window::kCommentText, kSong,
                        layout::kDefaultFontPoints, WS_EX_CLIENTEDGE);
    SendMessageW(CommentText, EM_SETLIMITTEXT, 0, 0); // no limit of its own
    Command1 =
        child(L"BUTTON", form_text::kSendButton, WS_TABSTOP | BS_PUSHBUTTON, kCommentCommand1,
              layout::comment_window::kCommand1, kSong, layout::kDefaultFontPoints);
    SetWindowSubclass(Command1, &controlProc, kButton, 0);
}

void CommentForm::showLoaded() {
    if (isOpen()) {
        bringToFront();
        return;
    }
    load(L"CommentForm", form_text::kCommentCaption, layout::comment_window::kClient,
         WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0);
    showAndActivate(CommentText);
}

Text CommentForm::comment() const {
    return form_rule::commentWithCrLf(windowText(CommentText));
}

LRESULT CommentForm::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == kCommentCommand1 &&
        HIWORD(wParam) == BN_CLICKED) {
        Command1_Click();
        return 0;
    }
    return Form::handle(message, wParam, lParam);
}

void CommentForm::Command1_Click() {
    if (post_.Command1_Click(comment()))
        close();
}

} // namespace pelvoran::win
