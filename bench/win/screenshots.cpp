// Pictures of the four windows as wine draws them, and of the thanks box for
// a numbered comment, for the README:
//   pelvoran_win_screenshots <main.bmp> <help.bmp> <comment.bmp> <answer.bmp>
//                            <thanks.bmp>
// Each window is captured from the screen with its frame, after it painted.
#include "forms/form_texts.h"
#include "net/comment_post.h"
#include "win/answer_form.h"
#include "win/comment_form.h"
#include "win/help_form.h"
#include "win/message_boxes.h"
#include "win/pelvoran_form.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

/// The one conversation the pictures show, as the server's pictures have it
/// (tests/browser/screenshots.py): the comment and the publisher's answer.
const pelvoran::Text kQuestion =
    u"EF 100mm f/2.8 USM 的编号是 5012345，没有日期码，请问怎么查生产年份？";
const pelvoran::Text kAnswer =
    u"您好！这个镜头卡口上的编号不含日期。请看镜头尾部靠近卡口的红色或白色小字，"
    u"形如 UR1234 的就是日期码，填进查询框即可。";

using namespace pelvoran;

class NoMessageBoxes final : public MessageBoxes {
public:
    MessageAnswer show(const Text&, const Text&, MessageButtons) override {
        return MessageAnswer::Cancel;
    }
};

void settle() {
    for (int i = 0; i < 30; ++i) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        Sleep(20);
    }
}

bool saveWindow(HWND hwnd, const wchar_t* path) {
    SetForegroundWindow(hwnd);
    RedrawWindow(hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    settle();
    RECT r;
    GetWindowRect(hwnd, &r);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 2834, 2834, 0, 0};
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = SelectObject(memory, dib);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
    const DWORD size = stride * static_cast<DWORD>(h);
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof file + sizeof info.bmiHeader) + size, 0,
                          0, static_cast<DWORD>(sizeof file + sizeof info.bmiHeader)};
    bool ok = false;
    if (FILE* f = _wfopen(path, L"wb")) {
        ok = std::fwrite(&file, sizeof file, 1, f) == 1 &&
             std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f) == 1 &&
             std::fwrite(bits, 1, size, f) == size;
        std::fclose(f);
    }
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

/// Where the thanks box's picture goes, and whether it was saved.
const wchar_t* g_thanksPath = nullptr;
bool g_thanksSaved = false;

/// Saves the thanks box once it is up and closes it.
void CALLBACK saveThanks(HWND, UINT, UINT_PTR timer, DWORD) {
    const HWND box = FindWindowW(L"#32770", nullptr);
    if (box == nullptr)
        return;
    KillTimer(nullptr, timer);
    g_thanksSaved = saveWindow(box, g_thanksPath);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        std::fputs("usage: pelvoran_win_screenshots main.bmp help.bmp comment.bmp answer.bmp "
                   "thanks.bmp\n",
                   stderr);
        return 2;
    }
    win::registerWindowClasses(GetModuleHandleW(nullptr));
    const HttpComponentRegistry none;
    NoMessageBoxes boxes;
    SystemShell shell;
    win::PelvoranForm form(Services{none, boxes, shell, [] { return LocalDateTime{}; },
                                    RegionalSettings::zhCN(), u"http://127.0.0.1:1"});
    form.Form_Load();
    form.showCentred();
    for (const wchar_t c : std::wstring(L"UE0945"))
        SendMessageW(form.ProdSNText, WM_CHAR, c, 1);
    SendMessageW(form.ProdSNText, WM_KEYDOWN, VK_RETURN, 1);
    bool ok = saveWindow(form.hwnd(), argv[1]);

    SendMessageW(form.Command2, BM_CLICK, 0, 0);
    settle();
    ok = ok && form.helpForm() != nullptr && saveWindow(form.helpForm()->hwnd(), argv[2]);
    form.helpForm()->close();

    SendMessageW(form.Command3, BM_CLICK, 0, 0);
    settle();
    if (form.commentForm() != nullptr)
        SetWindowTextW(form.commentForm()->CommentText,
                       reinterpret_cast<const wchar_t*>(kQuestion.c_str()));
    ok = ok && form.commentForm() != nullptr && saveWindow(form.commentForm()->hwnd(), argv[3]);
    if (form.commentForm() != nullptr)
        form.commentForm()->close();

    FetchedAnswer answer;
    answer.record.number = "7";
    answer.record.comment = kQuestion;
    answer.text = kAnswer;
    form.answersArrived({answer});
    settle();
    ok = ok && form.answerForm() != nullptr && saveWindow(form.answerForm()->hwnd(), argv[4]);
    if (form.answerForm() != nullptr)
        form.answerForm()->close();

    // The box the comment window's send brings up for the comment, numbered 7.
    g_thanksPath = argv[5];
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, &saveThanks);
    win::Win32MessageBoxes().show(Text(comment_text::kThanksMessage) + u"\r" +
                                      comment_text::kNumberBefore + u"7" +
                                      comment_text::kNumberAfter,
                                  comment_text::kThanksTitle, MessageButtons::Ok);
    KillTimer(nullptr, timer);
    return ok && g_thanksSaved ? 0 : 1;
}
