// The real Win32 windows, driven in-process with messages.
#include "decode/lens_query.h"
#include "forms/form_layout.h"
#include "forms/form_texts.h"
#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "net/update_check.h"
#include "platform/winhttp/winhttp_request.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"
#include "tests/support/window_layout.h"
#include "win/answer_form.h"
#include "win/comment_form.h"
#include "win/help_form.h"
#include "win/message_boxes.h"
#include "win/pelvoran_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace pelvoran;
using namespace pelvoran::test;
using pelvoran::win::windowText;

namespace {

void pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT)
            continue; // read with quitPosted() where a test cares
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

void type(HWND box, const std::u16string& text) {
    for (const char16_t c : text)
        SendMessageW(box, WM_CHAR, c, 1);
}

void press(HWND control, WPARAM key) {
    SendMessageW(control, WM_KEYDOWN, key, 1);
    if (key == VK_RETURN)
        SendMessageW(control, WM_CHAR, L'\r', 1);
    if (key == VK_BACK)
        SendMessageW(control, WM_CHAR, L'\b', 1);
    SendMessageW(control, WM_KEYUP, key, 0xC0000001);
}

void click(HWND button) {
    SendMessageW(button, BM_CLICK, 0, 0);
    pump();
}

struct ClassSearch {
    const wchar_t* name;
    std::vector<HWND> found;
};

BOOL CALLBACK matchClass(HWND h, LPARAM p) {
    auto* s = reinterpret_cast<ClassSearch*>(p);
    wchar_t name[64];
    GetClassNameW(h, name, 64);
    if (std::wstring(name) == s->name && IsWindowVisible(h))
        s->found.push_back(h);
    return TRUE;
}

std::vector<HWND> windowsOfClass(const wchar_t* className) {
    ClassSearch search{className, {}};
    EnumThreadWindows(GetCurrentThreadId(), &matchClass, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int dpiOf(HWND h) {
    using Fn = UINT(WINAPI*)(HWND);
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return fn != nullptr ? static_cast<int>(fn(h)) : 96;
}

/// A control's place in its window's client area, in pixels.
RECT placeOf(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

LOGFONTW fontOf(HWND h) {
    LOGFONTW f{};
    const auto font = reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0));
    GetObjectW(font, sizeof f, &f);
    return f;
}

/// A control's client area as 32-bit BGRX pixels, row by row: as the control
/// paints itself into a bitmap of its size, or as the screen shows it now.
struct Pixels {
    int w = 0;
    int h = 0;
    std::vector<std::uint32_t> bgrx;
    std::uint32_t at(int x, int y) const { return bgrx[static_cast<std::size_t>(y) * w + x]; }
};

Pixels capture(HWND control, bool onScreen) {
    RECT box{};
    GetClientRect(control, &box);
    Pixels out{box.right, box.bottom, {}};
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), out.w, -out.h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = SelectObject(memory, dib);
    HDC shown = GetDC(control);
    if (onScreen)
        BitBlt(memory, 0, 0, out.w, out.h, shown, 0, 0, SRCCOPY);
    else
        SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                     PRF_CLIENT | PRF_ERASEBKGND);
    ReleaseDC(control, shown);
    GdiFlush();
    if (bits != nullptr) {
        const auto* p = static_cast<const std::uint32_t*>(bits);
        out.bgrx.assign(p, p + static_cast<std::size_t>(out.w) * out.h);
    }
    SelectObject(memory, old);
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return out;
}

/// The runs of rows [top, bottom) that hold ink when the control paints
/// itself into a bitmap of its size, or as the screen shows it now.
std::vector<std::pair<int, int>> inkedRows(HWND control, bool onScreen = false) {
    const Pixels shot = capture(control, onScreen);
    std::vector<std::pair<int, int>> runs;
    for (int y = 0; y < shot.h && !shot.bgrx.empty(); ++y) {
        bool ink = false;
        for (int x = 0; x < shot.w && !ink; ++x) {
            const std::uint32_t p = shot.at(x, y);
            ink = (p & 0xFF) + (p >> 8 & 0xFF) + (p >> 16 & 0xFF) < 3 * 128;
        }
        if (ink && (runs.empty() || runs.back().second != y))
            runs.emplace_back(y, y + 1);
        else if (ink)
            runs.back().second = y + 1;
    }
    return runs;
}

/// The presenter's name of a control, as the layout plan writes it.
present::Control partNamed(const std::string& name) {
    using present::Control;
    const std::pair<const char*, Control> parts[] = {
        {"ProdSNText", Control::ProdSNText}, {"Label1", Control::Label1},
        {"Label2", Control::Label2},         {"Picture1", Control::Picture1},
        {"Command1", Control::Command1},     {"Command2", Control::Command2},
        {"Command3", Control::Command3},     {"CommentText", Control::CommentText}};
    for (const auto& [n, part] : parts)
        if (name == n)
            return part;
    return Control::Window;
}

/// Pumps this thread's messages until `done()` holds, for up to 30 s: under
/// some window managers activation is asynchronous, and a loaded machine
/// takes its time.
template <class Done> bool pumpUntil(Done done) {
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (int i = 0; i < 3000 && !done() && GetTickCount64() < deadline; ++i) {
        pump();
        Sleep(10);
    }
    return done();
}

bool quitPosted() {
    MSG m;
    return PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

class WinUi : public ::testing::Test {
protected:
    static void SetUpTestSuite() { win::registerWindowClasses(GetModuleHandleW(nullptr)); }

    void SetUp() override {
        form = std::make_unique<win::PelvoranForm>(
            Services{noComponent, boxes, shell, [] { return LocalDateTime{}; },
                     RegionalSettings::zhCN(), u"http://127.0.0.1:1"});
        form->Form_Load();
        form->showCentred();
        pump();
    }

    void TearDown() override {
        form.reset();
        pump();
        quitPosted();
    }

    HttpComponentRegistry noComponent; // the update check sends nothing
    RecordingMessageBoxes boxes;
    RecordingShell shell;
    std::unique_ptr<win::PelvoranForm> form;
};

} // namespace

TEST_F(WinUi, MainWindowAtStart) {
    const HWND w = form->hwnd();
    wchar_t className[64];
    GetClassNameW(w, className, 64);
    EXPECT_EQ(std::wstring(className), L"PelvoranForm");
    EXPECT_EQ(windowText(w), u"Pelvoran(v1.05 Powered By Brannoc)");
    EXPECT_EQ(windowText(form->Label2), form_text::kStartNotice);
    EXPECT_EQ(windowText(form->Label1), u"佳能镜头编号");
    EXPECT_EQ(windowText(form->Command1), u"查询生产日期");
    EXPECT_EQ(windowText(form->Command2), u"帮助");
    EXPECT_EQ(windowText(form->Command3), u"留言");
    EXPECT_EQ(windowText(form->ProdSNText), u"");
    EXPECT_EQ(GetFocus(), form->ProdSNText);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WinUi, EveryControlStandsWhereThePlanPutsIt) {
    click(form->Command2);
    click(form->Command3);
    const win::Form* windows[] = {form.get(), form->helpForm(), form->commentForm()};
    const int dpi = dpiOf(form->hwnd());
    const auto at96 = [dpi](LONG pixels) { return static_cast<int>(MulDiv(pixels, 96, dpi)); };
    for (const WindowPlan& plan : windowPlans()) {
        const win::Form* window = nullptr;
        for (const win::Form* w : windows) {
            wchar_t className[64];
            GetClassNameW(w->hwnd(), className, 64);
            if (std::wstring(className) ==
                std::wstring(plan.window, plan.window + std::strlen(plan.window)))
                window = w;
        }
        ASSERT_NE(window, nullptr) << plan.window;
        std::vector<ControlPlace> got;
        for (const ControlPlace& c : plan.controls) {
            const RECT r = placeOf(window->control(partNamed(c.name)));
            got.push_back(
                {c.name,
                 {at96(r.left), at96(r.top), at96(r.right - r.left), at96(r.bottom - r.top)}});
        }
        RECT client;
        GetClientRect(window->hwnd(), &client);
        expectLaidOut(plan, at96(client.right), at96(client.bottom), got);
    }
}

TEST_F(WinUi, FontsAndTabOrderOfTheMainWindow) {
    const int dpi = dpiOf(form->hwnd());
    for (HWND control : {form->ProdSNText, form->Label1, form->Command1, form->Command2,
                         form->Label2, form->Command3}) {
        const LOGFONTW f = fontOf(control);
        EXPECT_EQ(std::wstring(f.lfFaceName), L"宋体");
        EXPECT_EQ(f.lfHeight, -MulDiv(9, dpi, 72));
        EXPECT_EQ(f.lfCharSet, GB2312_CHARSET);
    }
    // Labels come right before the boxes they name; the focus goes round
    // the code box and the three buttons in that order.
    EXPECT_EQ(GetWindow(form->Label1, GW_HWNDNEXT), form->ProdSNText);
    const HWND order[] = {form->ProdSNText, form->Command1, form->Command2, form->Command3,
                          form->ProdSNText};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        SetFocus(order[i]);
        press(order[i], VK_TAB);
        EXPECT_EQ(GetFocus(), order[i + 1]) << i;
    }
}

TEST_F(WinUi, MovingToA144DpiScreenScalesPlacesAndFonts) {
    RECT window;
    GetWindowRect(form->hwnd(), &window);
    SendMessageW(form->hwnd(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&window));
    const auto at144 = [](int pixels) { return (pixels * 3 + 1) / 2; }; // a half rounds up
    for (const ControlPlace& c : windowPlans()[0].controls) {
        const RECT got = placeOf(form->control(partNamed(c.name)));
        EXPECT_EQ(got.left, at144(c.rect.left)) << c.name;
        EXPECT_EQ(got.top, at144(c.rect.top)) << c.name;
        EXPECT_EQ(got.right - got.left, at144(c.rect.width)) << c.name;
        EXPECT_EQ(got.bottom - got.top, at144(c.rect.height)) << c.name;
        EXPECT_EQ(fontOf(form->control(partNamed(c.name))).lfHeight, -18); // 9 points
    }
    RECT client;
    GetClientRect(form->hwnd(), &client);
    // 5010 twips at 144 dpi. (The height depends on the caption that the
    // system draws at the new DPI, which wine without a 144 dpi screen does not.)
    EXPECT_EQ(client.right, 501);
}

TEST_F(WinUi, QueryByEnterOrButtonAndEditingEmptiesTheAnswer) {
    LensQuery reference(RegionalSettings::zhCN());
    const std::u16string codes[] = {u"UE0945", u"6831234567", u"00123456", u"12", u"XX12345678"};
    for (const auto& code : codes) {
        SetWindowTextW(form->ProdSNText, L"");
        pump();
        type(form->ProdSNText, code);
        EXPECT_EQ(windowText(form->Label2), u"") << "any change empties the answer";
        press(form->ProdSNText, VK_RETURN);
        const Text answer = reference.Command1_Click(code);
        EXPECT_EQ(windowText(form->Label2), answer);
        EXPECT_EQ(windowText(form->ProdSNText), code); // Enter leaves the code as it was
        press(form->ProdSNText, VK_RETURN);
        EXPECT_EQ(windowText(form->Label2), answer) << "a second Enter, the same answer";
        press(form->ProdSNText, VK_BACK);
        EXPECT_EQ(windowText(form->Label2), u"");
        click(form->Command1);
        EXPECT_EQ(windowText(form->Label2),
                  reference.Command1_Click(code.substr(0, code.size() - 1)));
    }
}

TEST_F(WinUi, CodeBoxTakesTenCharactersAndTheFirstLineOfAPaste) {
    type(form->ProdSNText, u"12345678901");
    EXPECT_EQ(windowText(form->ProdSNText), u"1234567890");
    const struct {
        const wchar_t* before;
        int cursor;
        const wchar_t* pasted;
        Text after;
    } cases[] = {
        {L"", 0, L"6831234567890", u"6831234567"}, // a paste keeps what fits
        {L"", 0, L"UE0945\r\n", u"UE0945"},
        {L"", 0, L"6831234567\r\nsecond line", u"6831234567"},
        {L"UE45", 2, L"09\nxx", u"UE0945"}, // the text after the cursor stays
    };
    for (const auto& c : cases) {
        SetWindowTextW(form->ProdSNText, c.before);
        SendMessageW(form->ProdSNText, EM_SETSEL, c.cursor, c.cursor);
        SendMessageW(form->ProdSNText, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(c.pasted));
        EXPECT_EQ(windowText(form->ProdSNText), c.after) << toUtf8(c.after);
        EXPECT_EQ(windowText(form->Label2), u"");
    }
}

namespace {

struct SeenBox {
    RECT rect{};
    Text title;
    Text text;
    HWND owner = nullptr;
    Text ok;
    Text cancel;
    bool seen = false;
    HWND box = nullptr;
};
SeenBox g_box;
/// Every box answered since it was last cleared, g_box the last.
std::vector<SeenBox> g_boxes;

/// Looks for the thread's message box, notes where it stands and what it
/// says, and presses OK.
void CALLBACK answerMessageBox(HWND, UINT, UINT_PTR, DWORD) {
    for (HWND box : windowsOfClass(L"#32770")) {
        if (g_box.seen && box == g_box.box)
            continue; // answered, still closing
        g_box.box = box;
        GetWindowRect(box, &g_box.rect);
        g_box.text = windowText(GetDlgItem(box, 0xFFFF));
        g_box.title = windowText(box);
        g_box.owner = GetWindow(box, GW_OWNER);
        g_box.ok = windowText(GetDlgItem(box, IDOK));
        g_box.cancel = windowText(GetDlgItem(box, IDCANCEL));
        g_box.seen = true;
        g_boxes.push_back(g_box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
    }
}

} // namespace

TEST(Win32MessageBoxes, ALongMessageIsCutToFitTheWorkArea) {
    Text offer = u"最新版本: 1.06\r更新说明: ";
    for (int line = 0; line < 60; ++line)
        offer += Text(45, line % 2 == 0 ? u'镜' : u'头') + u"\r";
    offer += u"点击确定下载升级程序。\r";
    const struct {
        Text message;
        bool cut;
    } cases[] = {{offer, true}, {u"短\r点击确定下载升级程序。\r", false}};
    for (const auto& c : cases) {
        g_box = {};
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, &answerMessageBox);
        win::Win32MessageBoxes().show(c.message, u"有更新版本", MessageButtons::OkCancel);
        KillTimer(nullptr, timer);
        ASSERT_TRUE(g_box.seen);
        RECT work{};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        EXPECT_GE(g_box.rect.top, work.top);
        EXPECT_LE(g_box.rect.bottom, work.bottom);
        EXPECT_EQ(g_box.text.find(u'…') != Text::npos, c.cut);
        EXPECT_TRUE(g_box.text.ends_with(u"点击确定下载升级程序。\r") ||
                    g_box.text.ends_with(u"点击确定下载升级程序。\r\n") ||
                    g_box.text.ends_with(u"点击确定下载升级程序。"))
            << toUtf8(g_box.text.substr(g_box.text.size() - 20));
    }
}

namespace {

/// Shows the box and answers it with OK; what it showed is in g_box.
void showAndAnswer(MessageButtons buttons) {
    g_box = {};
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, &answerMessageBox);
    win::Win32MessageBoxes().show(u"点击确定下载升级程序。", u"有更新版本", buttons);
    KillTimer(nullptr, timer);
}

} // namespace

// Also run under an English display language (tests/win/CMakeLists.txt).
TEST(Win32MessageBoxes, ButtonsSayQueDingAndQuXiao) {
    const struct {
        MessageButtons buttons;
        Text ok;
        Text cancel;
    } cases[] = {{MessageButtons::Ok, u"确定", u""}, {MessageButtons::OkCancel, u"确定", u"取消"}};
    for (const auto& c : cases) {
        showAndAnswer(c.buttons);
        ASSERT_TRUE(g_box.seen);
        EXPECT_EQ(g_box.ok, c.ok) << toUtf8(g_box.ok);
        EXPECT_EQ(g_box.cancel, c.cancel) << toUtf8(g_box.cancel);
        EXPECT_EQ(g_box.owner, nullptr) << "a box of no window has no owner";
    }
}

namespace {

/// The main window the next tick hands an answer to, and whether its answer
/// window was open right after.
win::PelvoranForm* g_answerTo = nullptr;
bool g_openAtOnce = false;

/// Hands the answer over while the box is up, then has the box answered.
void CALLBACK answerWhileTheBoxIsUp(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    FetchedAnswer answer;
    answer.record.comment = u"UE0945 是哪年的？";
    answer.text = u"谢谢。\n1990年9月。";
    g_answerTo->answersArrived({answer});
    g_openAtOnce = g_answerTo->answerForm() != nullptr && g_answerTo->answerForm()->isOpen();
    SetTimer(nullptr, 0, 10, &answerMessageBox);
}

bool answerShown(const win::PelvoranForm& form) {
    return form.answerForm() != nullptr && form.answerForm()->isOpen();
}

} // namespace

// An answer that arrives while a message box is up waits for the box to
// close; then it shows, the focus on the answer with its line breaks as an
// edit box shows them, and Esc closes it.
TEST_F(WinUi, AnAnswerWaitsForTheMessageBoxToClose) {
    g_answerTo = form.get();
    g_openAtOnce = false;
    g_box = {};
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, &answerWhileTheBoxIsUp);
    win::Win32MessageBoxes().show(u"感谢您的宝贵建议!谢谢!", u"感谢", MessageButtons::Ok);
    KillTimer(nullptr, timer);
    ASSERT_TRUE(g_box.seen);
    EXPECT_FALSE(g_openAtOnce) << "an answer window over the box";
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (int i = 0; i < 3000 && !answerShown(*form) && GetTickCount64() < deadline; ++i) {
        pump();
        Sleep(10);
    }
    ASSERT_TRUE(answerShown(*form));
    win::AnswerForm& answer = *form->answerForm();
    EXPECT_EQ(windowText(answer.CommentText), u"UE0945 是哪年的？");
    EXPECT_EQ(windowText(answer.AnswerText), u"谢谢。\r\n1990年9月。");
    EXPECT_EQ(GetFocus(), answer.AnswerText);
    press(answer.AnswerText, VK_ESCAPE);
    EXPECT_FALSE(answer.isOpen());
}

TEST_F(WinUi, HelpWindowIsOneObjectReloadedOnEachOpening) {
    click(form->Command2);
    click(form->Command2);
    ASSERT_EQ(windowsOfClass(L"HelpForm").size(), 1u);
    win::HelpForm* help = form->helpForm();
    ASSERT_NE(help, nullptr);
    const HWND h = help->hwnd();
    EXPECT_EQ(GetWindowTextLengthW(h), 0);
    EXPECT_EQ(GetWindowLongW(h, GWL_STYLE) & WS_CAPTION, WS_DLGFRAME) << "no title bar";
    EXPECT_EQ(windowText(help->Label1), form_text::helpText());
    EXPECT_EQ(windowText(help->Command1), u"确定");

    const int dpi = dpiOf(h);
    // The photograph is larger than its box (the layout test holds its size).
    BITMAP bm{};
    ASSERT_NE(help->picture(), nullptr);
    GetObjectW(help->picture(), sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 401);
    EXPECT_EQ(bm.bmHeight, 220);

    struct FontCase {
        HWND control;
        const wchar_t* face;
        double points;
    };
    const FontCase fonts[] = {
        {h, L"新宋体", 9.75},
        {help->Label1, L"宋体", 10.5},
        {help->Picture1, L"宋体", 9},
        {help->Command1, L"宋体", 9},
    };
    for (const auto& c : fonts) {
        const LOGFONTW f = fontOf(c.control);
        EXPECT_EQ(std::wstring(f.lfFaceName), c.face);
        EXPECT_EQ(f.lfHeight, -static_cast<LONG>(c.points * dpi / 72 + 0.5)) << c.points;
        EXPECT_EQ(f.lfCharSet, GB2312_CHARSET);
        EXPECT_EQ(f.lfWeight, FW_NORMAL);
    }

    // OK unloads the window; the main window's button loads it afresh.
    click(help->Command1);
    EXPECT_FALSE(help->isOpen());
    EXPECT_TRUE(windowsOfClass(L"HelpForm").empty());
    click(form->Command2);
    EXPECT_EQ(form->helpForm(), help) << "the same object";
    ASSERT_TRUE(help->isOpen());
    EXPECT_EQ(windowText(help->Label1), form_text::helpText());
    EXPECT_NE(help->picture(), nullptr);
}

namespace {

/// The box around the photograph's red frame, in pixels scaled by `scale`.
RECT redFrame(const Pixels& shot, double scale = 1) {
    RECT r{shot.w, shot.h, -1, -1};
    for (int y = 0; y < shot.h; ++y)
        for (int x = 0; x < shot.w; ++x) {
            const std::uint32_t p = shot.at(x, y);
            if ((p >> 16 & 0xFF) > 180 && (p >> 8 & 0xFF) < 90 && (p & 0xFF) < 90)
                r = {std::min<LONG>(r.left, x), std::min<LONG>(r.top, y),
                     std::max<LONG>(r.right, x), std::max<LONG>(r.bottom, y)};
        }
    return {std::lround(r.left * scale), std::lround(r.top * scale), std::lround(r.right * scale),
            std::lround(r.bottom * scale)};
}

/// Runs this program's tests named by `filter` once more, in a process that
/// sees a screen of `dpi` dots per inch (wine takes it from LogPixels when a
/// process starts), and puts the setting back. The exit status of that run.
DWORD runAtDpi(const std::wstring& filter, DWORD dpi) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    DWORD had = 0;
    DWORD size = sizeof had;
    const bool set = RegQueryValueExW(key, L"LogPixels", nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(&had), &size) == ERROR_SUCCESS;
    RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi),
                   sizeof dpi);
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" --gtest_filter=" + filter;
    SetEnvironmentVariableW(L"PELVORAN_TEST_DPI", std::to_wstring(dpi).c_str());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    DWORD status = 999;
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &status);
        else
            TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    SetEnvironmentVariableW(L"PELVORAN_TEST_DPI", nullptr);
    if (set)
        RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&had),
                       sizeof had);
    else
        RegDeleteValueW(key, L"LogPixels");
    RegCloseKey(key);
    return status;
}

} // namespace

// At 144 dpi the photograph grows with its box, as everything else in the
// window: no grey band beside or below it, and its red frame still on the code.
TEST(HelpWindow, PhotoScalesWithTheScreenAt144Dpi) {
    if (GetEnvironmentVariableW(L"PELVORAN_TEST_DPI", nullptr, 0) == 0) {
        EXPECT_EQ(runAtDpi(L"HelpWindow.PhotoScalesWithTheScreenAt144Dpi", 144), 0u);
        return;
    }
    win::registerWindowClasses(GetModuleHandleW(nullptr));
    HttpComponentRegistry noComponent;
    RecordingMessageBoxes boxes;
    RecordingShell shell;
    win::PelvoranForm main(Services{noComponent, boxes, shell, [] { return LocalDateTime{}; },
                                    RegionalSettings::zhCN(), u"http://127.0.0.1:1"});
    main.Form_Load();
    main.showCentred();
    click(main.Command2);
    const win::HelpForm* help = main.helpForm();
    ASSERT_TRUE(help != nullptr && help->isOpen());
    ASSERT_EQ(dpiOf(help->hwnd()), 144);
    UpdateWindow(help->Picture1);
    const Pixels shown = capture(help->Picture1, true);

    // The photograph as the resources hold it, at 96 dpi.
    BITMAP bm{};
    GetObjectW(help->picture(), sizeof bm, &bm);
    Pixels photo{bm.bmWidth, bm.bmHeight,
                 std::vector<std::uint32_t>(static_cast<std::size_t>(bm.bmWidth) * bm.bmHeight)};
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), photo.w, -photo.h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, help->picture(), 0, photo.h, photo.bgrx.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);

    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const std::uint32_t faceBgrx = GetRValue(face) << 16 | GetGValue(face) << 8 | GetBValue(face);
    int faceInLastRow = 0;
    int faceInLastColumn = 0;
    for (int x = 0; x < shown.w; ++x)
        faceInLastRow += (shown.at(x, shown.h - 1) & 0xFFFFFF) == faceBgrx;
    for (int y = 0; y < shown.h; ++y)
        faceInLastColumn += (shown.at(shown.w - 1, y) & 0xFFFFFF) == faceBgrx;
    EXPECT_LT(faceInLastRow, shown.w / 2) << "a grey band below the photograph";
    EXPECT_LT(faceInLastColumn, shown.h / 2) << "a grey band right of the photograph";

    const RECT want = redFrame(photo, 1.5);
    const RECT got = redFrame(shown);
    ASSERT_GT(want.right, 0) << "the photograph has its red frame";
    EXPECT_NEAR(got.left, want.left, 2);
    EXPECT_NEAR(got.top, want.top, 2);
    EXPECT_NEAR(got.right, want.right, 2);
    EXPECT_NEAR(got.bottom, want.bottom, 2);
    main.close();
    pump();
}

// Labels set their baselines one pixel more than the font size apart, so
// every line shows inside the box whatever font stands in for SimSun (under
// wine a CJK font whose own line is taller).
TEST_F(WinUi, LabelsShowEveryLineInsideTheirBoxes) {
    type(form->ProdSNText, u"6831234567");
    press(form->ProdSNText, VK_RETURN);
    click(form->Command2);
    const win::HelpForm* help = form->helpForm();
    ASSERT_TRUE(help != nullptr && help->isOpen());
    struct Case {
        HWND label;
        std::size_t lines;
        const char* what;
    };
    const Case cases[] = {
        {form->Label1, 1, "code label"},
        {form->Label2, 2, "answer: the date, then the notice"},
        {help->Label1, 7, "help text: six lines, the fourth wrapped"},
    };
    for (const auto& c : cases) {
        const int step = layout::lineStep(-fontOf(c.label).lfHeight);
        const auto rows = inkedRows(c.label);
        ASSERT_EQ(rows.size(), c.lines) << c.what;
        for (std::size_t i = 1; i < rows.size(); ++i)
            EXPECT_NEAR(rows[i].first - rows[i - 1].first, step, 1) << c.what << ", line " << i + 1;
        RECT box{};
        GetClientRect(c.label, &box);
        EXPECT_LT(rows.back().second, box.bottom) << c.what << ": the last line is cut";
    }
}

// The answer on the screen is the label's own paint from the first showing
// and from the moment it is set, not the static control's (whose lines stand
// further apart).
TEST_F(WinUi, AnswerShowsAsTheLabelPaintsIt) {
    EXPECT_EQ(inkedRows(form->Label2, true), inkedRows(form->Label2)) << "the start notice";
    const struct {
        std::u16string code;
        std::size_t lines;
    } cases[] = {{u"XX12345678", 3}, {u"6831234567", 2}};
    for (const auto& c : cases) {
        SetWindowTextW(form->ProdSNText, L"");
        type(form->ProdSNText, c.code);
        press(form->ProdSNText, VK_RETURN);
        pump();
        const auto own = inkedRows(form->Label2);
        EXPECT_EQ(own.size(), c.lines) << toUtf8(c.code);
        EXPECT_EQ(inkedRows(form->Label2, true), own) << toUtf8(c.code);
    }
}

TEST_F(WinUi, EnterOnAFocusedButtonPressesIt) {
    SetFocus(form->Command2);
    press(form->Command2, VK_RETURN);
    pump();
    ASSERT_NE(form->helpForm(), nullptr);
    EXPECT_TRUE(form->helpForm()->isOpen());
    SetFocus(form->helpForm()->Command1);
    press(form->helpForm()->Command1, VK_RETURN);
    pump();
    EXPECT_FALSE(form->helpForm()->isOpen());
}

TEST_F(WinUi, CommentWindowTextPostedWindowUnloaded) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    const HttpComponentRegistry registry = registryForAllClassNames(winHttpRequestFactory());
    win::PelvoranForm main(Services{registry, boxes, shell, [] { return LocalDateTime{}; },
                                    RegionalSettings::zhCN(), u16(server.base())});
    main.Form_Load();
    main.showCentred();
    server.setBehaviour({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    const auto requestsAtStart = server.requests().size(); // the update check's

    click(main.Command3);
    win::CommentForm* comment = main.commentForm();
    ASSERT_NE(comment, nullptr);
    ASSERT_TRUE(comment->isOpen());
    EXPECT_EQ(windowText(comment->hwnd()), u"请填写您的意见或建议");
    EXPECT_EQ(windowText(comment->Command1), u"发送");
    EXPECT_EQ(GetFocus(), comment->CommentText);

    // Enter starts a new line in the box; a second click on the main
    // window's button keeps what was typed.
    type(comment->CommentText, u"镜头");
    press(comment->CommentText, VK_RETURN);
    type(comment->CommentText, u"UE0945");
    click(main.Command3);
    EXPECT_EQ(main.commentForm(), comment);
    EXPECT_EQ(comment->comment(), u"镜头\r\nUE0945");

    click(comment->Command1);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), requestsAtStart + 1);
    EXPECT_EQ(requests.back().body, toUtf8(u"CommentText=" + URLEncoding(u"镜头\r\nUE0945")));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, u"感谢");
    EXPECT_FALSE(comment->isOpen());

    click(main.Command3);
    ASSERT_TRUE(comment->isOpen());
    EXPECT_EQ(windowText(comment->CommentText), u"") << "loaded afresh";
    comment->close();
    main.close();
    pump();
}

TEST_F(WinUi, ProcessEndsWhenItsLastWindowCloses) {
    click(form->Command2);
    click(form->Command3);
    quitPosted();
    const int open = form->openWindows();
    SendMessageW(form->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(form->isOpen());
    EXPECT_EQ(form->openWindows(), open - 1);
    EXPECT_FALSE(quitPosted()) << "help and comment windows still open";
    SendMessageW(form->helpForm()->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(quitPosted());
    SendMessageW(form->commentForm()->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(form->openWindows(), 0);
    EXPECT_TRUE(quitPosted());
}

namespace {

/// Sends a button's click to its window as the keyboard would, leaving the
/// focus where it is.
void notifyClick(HWND button) {
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    pump();
}

} // namespace

// Like a dialog box: a window that becomes active again gives the focus back
// to the control that had it, whichever way it lost it.
TEST_F(WinUi, FocusReturnsToTheControlThatHadIt) {
    const auto settle = [](HWND w) { pumpUntil([w] { return GetActiveWindow() == w; }); };
    const auto activate = [&settle](HWND w) {
        SetForegroundWindow(w);
        pump();
        settle(w);
    };
    const struct {
        const char* what;
        HWND (*had)(win::PelvoranForm&);
        void (*away)(win::PelvoranForm&);
    } cases[] = {
        {"help window opened and closed by its button",
         [](win::PelvoranForm& f) { return f.ProdSNText; },
         [](win::PelvoranForm& f) {
             notifyClick(f.Command2);
             click(f.helpForm()->Command1);
         }},
        {"comment window activated and closed", [](win::PelvoranForm& f) { return f.Command1; },
         [](win::PelvoranForm& f) {
             notifyClick(f.Command3);
             SendMessageW(f.commentForm()->hwnd(), WM_CLOSE, 0, 0);
             pump();
         }},
        {"another window activated", [](win::PelvoranForm& f) { return f.ProdSNText; },
         [](win::PelvoranForm& f) {
             notifyClick(f.Command3);
             SetForegroundWindow(f.hwnd());
             pump();
         }},
    };
    for (const auto& c : cases) {
        activate(form->hwnd());
        const HWND had = c.had(*form);
        SetFocus(had);
        c.away(*form);
        settle(form->hwnd());
        ASSERT_EQ(GetActiveWindow(), form->hwnd()) << c.what;
        EXPECT_EQ(GetFocus(), had) << c.what;
    }
    // The comment window keeps its own: its send button, not the box that
    // its presenter focuses on opening. (Opened only now: a window left open
    // behind the main one may be the one wine activates when the help
    // window closes.)
    win::CommentForm* comment = form->commentForm();
    ASSERT_TRUE(comment != nullptr && comment->isOpen());
    activate(comment->hwnd());
    SetFocus(comment->Command1);
    activate(form->hwnd());
    activate(comment->hwnd());
    EXPECT_EQ(GetFocus(), comment->Command1);
}

// The comment window's boxes are its own: it is active again after each one.
TEST(CommentBoxes, OwnedByTheCommentWindow) {
    win::registerWindowClasses(GetModuleHandleW(nullptr));
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    const HttpComponentRegistry registry = registryForAllClassNames(winHttpRequestFactory());
    win::Win32MessageBoxes boxes;
    RecordingShell shell;
    win::PelvoranForm main(Services{registry, boxes, shell, [] { return LocalDateTime{}; },
                                    RegionalSettings::zhCN(), u16(server.base())});
    main.Form_Load();
    main.showCentred();
    pump();
    click(main.Command3);
    win::CommentForm* comment = main.commentForm();
    ASSERT_TRUE(comment != nullptr && comment->isOpen());
    const struct {
        std::u16string typed;
        int status;
        Text title;
        bool staysOpen;
    } cases[] = {
        {u"", 200, u"提示", true},
        {u"镜头", 500, u"发送失败", true},
        {u"镜头", 200, u"感谢", false},
    };
    for (const auto& c : cases) {
        SetWindowTextW(comment->CommentText, L"");
        type(comment->CommentText, c.typed);
        server.setBehaviour({ServerBehaviour::Mode::Reply, LoopbackServer::reply(c.status, "")});
        const HWND window = comment->hwnd();
        g_box = {};
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, &answerMessageBox);
        click(comment->Command1);
        KillTimer(nullptr, timer);
        ASSERT_TRUE(g_box.seen) << toUtf8(c.title);
        EXPECT_EQ(g_box.title, c.title);
        EXPECT_EQ(g_box.owner, window) << toUtf8(c.title);
        EXPECT_EQ(comment->isOpen(), c.staysOpen) << toUtf8(c.title);
        if (c.staysOpen) {
            pumpUntil([window] { return GetActiveWindow() == window; });
            EXPECT_EQ(GetActiveWindow(), window) << toUtf8(c.title);
        }
    }
    main.close();
    pump();
}

// The notice that the accepted update could not be opened speaks for the main
// window: it owns the notice, and is active again once it closes. The offer
// before it comes before any window and has no owner.
TEST(UpdateBoxes, TheNoticeThatNothingOpenedIsTheMainWindows) {
    win::registerWindowClasses(GetModuleHandleW(nullptr));
    LoopbackServer server({ServerBehaviour::Mode::Reply,
                           LoopbackServer::reply(200, "1.06[;]http://127.0.0.1/p.exe[;]d[;]n")});
    const HttpComponentRegistry registry = registryForAllClassNames(winHttpRequestFactory());
    win::Win32MessageBoxes boxes;
    RecordingShell shell;
    shell.openResult = false; // the opener could not start
    win::PelvoranForm main(Services{registry, boxes, shell, [] { return LocalDateTime{}; },
                                    RegionalSettings::zhCN(), u16(server.base())});
    g_box = {};
    g_boxes.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, &answerMessageBox);
    main.Form_Load();
    KillTimer(nullptr, timer);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].title, u"有更新版本");
    EXPECT_EQ(g_boxes[0].owner, nullptr);
    EXPECT_EQ(g_boxes[1].text, update_text::kCannotOpen);
    EXPECT_EQ(g_boxes[1].owner, main.hwnd());
    pumpUntil([&main] { return GetActiveWindow() == main.hwnd(); });
    EXPECT_EQ(GetActiveWindow(), main.hwnd());
    EXPECT_EQ(GetForegroundWindow(), main.hwnd());
    main.close();
    pump();
}

// Screen readers hear each new answer, the same one twice too: the main
// window asks for a notification with the answer's text (the emptied label
// and the start notice are no answers). The real notification does nothing
// where the system lacks it, as wine does.
TEST(Announcements, EachAnswerIsAnnounced) {
    win::registerWindowClasses(GetModuleHandleW(nullptr));
    HttpComponentRegistry noComponent;
    RecordingMessageBoxes boxes;
    RecordingShell shell;
    std::vector<Text> announced;
    win::PelvoranForm main(Services{noComponent, boxes, shell, [] { return LocalDateTime{}; },
                                    RegionalSettings::zhCN(), u"http://127.0.0.1:1"},
                           [&](HWND control, const Text& text) {
                               EXPECT_EQ(control, main.Label2);
                               announced.push_back(text);
                           });
    main.Form_Load();
    main.showCentred();
    type(main.ProdSNText, u"UE0945");
    press(main.ProdSNText, VK_RETURN);
    click(main.Command1);
    const Text answer = LensQuery(RegionalSettings::zhCN()).Command1_Click(u"UE0945");
    EXPECT_EQ(announced, (std::vector<Text>{answer, answer}));
    win::announceByUiAutomation(main.Label2, answer);
    main.close();
    pump();
}
