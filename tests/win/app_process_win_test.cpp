// The real start-up path as its own process: Pelvoran.exe (built to ask
// 127.0.0.1:PELVORAN_TEST_SERVER_PORT) against a server in this test.
#include <gtest/gtest.h>

#include "platform/reply_secret.h"
#include "platform/signature.h"
#include "platform/text.h"
#include "tests/support/agent_line.h"
#include "tests/support/loopback_server.h"
#include "tests/support/signed_answers.h"
#include "tests/support/signed_replies.h"
#include "tests/win/win_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelvoran::test::hostPath;
using pelvoran::test::LoopbackServer;
using pelvoran::test::ServerBehaviour;

/// The port Pelvoran.exe under test is built to ask.
constexpr int kServerPort = PELVORAN_TEST_SERVER_PORT;

/// Answers every request on 127.0.0.1:kServerPort with one fixed body.
LoopbackServer versionServer(const std::string& body) {
    return LoopbackServer({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, body)},
                          kServerPort);
}

std::vector<HWND> windowsOf(DWORD pid) {
    return pelvoran::test::visibleWindowsOf(pid);
}

std::wstring classOf(HWND h) {
    wchar_t name[64];
    GetClassNameW(h, name, 64);
    return name;
}

/// How long a test waits for what Pelvoran.exe does next: far beyond the
/// second or two it takes under wine, for a loaded machine.
constexpr DWORD kPatienceMs = 30000;

/// The text of a window or control of another process (WM_GETTEXT: a
/// control's GetWindowText reads only the text it was created with there).
std::wstring textOf(HWND h) {
    wchar_t text[512] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        kPatienceMs, &copied);
    return text;
}

/// Waits up to kPatienceMs for a visible window of the class.
HWND waitForWindow(DWORD pid, const std::wstring& className) {
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    for (int i = 0; i < 3000 && GetTickCount64() < deadline; ++i) {
        for (HWND h : windowsOf(pid))
            if (classOf(h) == className)
                return h;
        Sleep(50);
    }
    return nullptr;
}

/// Waits up to kPatienceMs for the window to be destroyed.
bool waitForDestroyed(HWND h) {
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    for (int i = 0; i < 3000 && GetTickCount64() < deadline && IsWindow(h); ++i)
        Sleep(50);
    return !IsWindow(h);
}

/// A roaming application data folder of the test's own (APPDATA for the
/// process it starts, so that the user's own file is never touched), removed
/// with everything in it; or the one real_server_test.sh names for its runs
/// (PELVORAN_REAL_SERVER_APPDATA), which it removes itself.
struct AppData {
    AppData() {
        wchar_t given[MAX_PATH + 1] = {};
        const DWORD length =
            GetEnvironmentVariableW(L"PELVORAN_REAL_SERVER_APPDATA", given, MAX_PATH + 1);
        kept = length > 0 && length <= MAX_PATH;
        if (kept) {
            path.assign(given, length);
        } else {
            wchar_t temp[MAX_PATH + 1] = {};
            const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
            path = std::wstring(temp, n) + L"pelvoran-appdata-" +
                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(GetTickCount64());
        }
        CreateDirectoryW(path.c_str(), nullptr);
        CreateDirectoryW(keysFolder().c_str(), nullptr);
    }
    ~AppData() {
        std::error_code ignored;
        if (!kept)
            std::filesystem::remove_all(path, ignored);
    }
    std::wstring keysFolder() const { return path + L"\\Pelvoran"; }
    std::wstring keysFile() const { return keysFolder() + L"\\answer-keys"; }
    std::wstring path;
    bool kept = false;
};

std::string readFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::wstring& path, const std::string& contents) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << contents;
}

class AppProcess : public ::testing::Test {
protected:
    /// Starts the exe with the test's own APPDATA.
    void start(const char* exe = PELVORAN_TEST_EXE) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring commandLine = L"\"" + hostPath(exe) + L"\"";
        wchar_t own[32767];
        const DWORD ownLength = GetEnvironmentVariableW(L"APPDATA", own, 32767);
        SetEnvironmentVariableW(L"APPDATA", appData->path.c_str());
        const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                            nullptr, nullptr, &si, &pi);
        SetEnvironmentVariableW(L"APPDATA", ownLength > 0 ? own : nullptr);
        ASSERT_TRUE(started);
    }
    DWORD waitForExit() {
        DWORD status = 999;
        if (WaitForSingleObject(pi.hProcess, kPatienceMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &status);
        return status;
    }
    void TearDown() override {
        if (pi.hProcess != nullptr) {
            if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0)
                TerminateProcess(pi.hProcess, 1);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
    PROCESS_INFORMATION pi{};
    std::unique_ptr<AppData> appData = std::make_unique<AppData>();
};

} // namespace

TEST_F(AppProcess, StartsOnTheMainWindowAndEndsWithItsLastWindow) {
    const LoopbackServer server = versionServer("1.05[;]http://example.com/[;]2012-12-30[;]");
    start();
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(textOf(main), L"Pelvoran(v1.05 Powered By Brannoc)");
    // The update check asked once, naming the tool, and offered nothing.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    std::string head = requests[0].head;
    EXPECT_EQ(pelvoran::test::takeAgentLines(head),
              std::vector{pelvoran::test::expectedAgentLine("Windows")})
        << requests[0].head;
    EXPECT_EQ(windowsOf(pi.dwProcessId).size(), 1u);

    // Help open, main closed: the process goes on until the help window closes.
    const HWND help = FindWindowExW(main, nullptr, L"BUTTON", L"帮助");
    ASSERT_NE(help, nullptr);
    PostMessageW(help, BM_CLICK, 0, 0);
    const HWND helpWindow = waitForWindow(pi.dwProcessId, L"HelpForm");
    ASSERT_NE(helpWindow, nullptr);
    // Once the main window is gone, a process that ended with it would do so
    // at once: a second after that, it still runs, the help window with it.
    PostMessageW(main, WM_CLOSE, 0, 0);
    ASSERT_TRUE(waitForDestroyed(main));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(IsWindowVisible(helpWindow));
    PostMessageW(helpWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
}

TEST_F(AppProcess, NewerVersionIsOfferedBeforeTheMainWindowAndCancelGoesOn) {
    const LoopbackServer server =
        versionServer("1.06[;]http://example.com/p.exe[;]2012-12-30[;]Fixes");
    start();
    const HWND box = waitForWindow(pi.dwProcessId, L"#32770");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(textOf(box), L"有更新版本");
    for (HWND h : windowsOf(pi.dwProcessId))
        EXPECT_NE(classOf(h), L"PelvoranForm") << "the offer comes before the main window";
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
}

// Pelvoran.exe built with the test key: a forged offer opens the main window
// without a prompt; the genuine one is offered. (The whole table of
// forgeries: online_services_win_test.)
TEST_F(AppProcess, BuiltWithAKeyItOffersOnlyTheSignedRelease) {
    using namespace pelvoran::test;
    signed_vectors::SignedRelease forged = signed_vectors::kWindowsOffer;
    forged.fields[1] = "http://example.com/q.exe";
    {
        const LoopbackServer server = versionServer(signedReply(forged));
        start(PELVORAN_KEYED_TEST_EXE);
        const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
        ASSERT_NE(main, nullptr);
        for (HWND h : windowsOf(pi.dwProcessId))
            EXPECT_NE(classOf(h), L"#32770") << "no prompt for a forgery";
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(waitForExit(), 0u);
        TearDown();
        pi = {};
    }
    const LoopbackServer server = versionServer(signedReply(signed_vectors::kWindowsOffer));
    start(PELVORAN_KEYED_TEST_EXE);
    const HWND box = waitForWindow(pi.dwProcessId, L"#32770");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(textOf(box), L"有更新版本");
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
}

namespace {

namespace sa = pelvoran::test::signed_answers;

/// Today as the tool dates its records, `back` days ago.
std::string dayAgo(int back) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    t.QuadPart -= static_cast<ULONGLONG>(back) * 24 * 3600 * 10000000ULL;
    const FILETIME then{t.LowPart, t.HighPart};
    FILETIME local{};
    FileTimeToLocalFileTime(&then, &local);
    SYSTEMTIME day{};
    FileTimeToSystemTime(&local, &day);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", day.wYear, day.wMonth, day.wDay);
    return text;
}

const std::string kHeader = "pelvoran-answer-keys 1\n";

/// A record line for a secret (the signed answer's unless given), sent
/// `back` days ago.
std::string record(int back = 0, const std::string& secretBytes = std::string(16, '\x01'),
                   const std::string& number = sa::kNumber) {
    return pelvoran::encodeBase64Url(secretBytes) + "\t" +
           pelvoran::encodeBase64Url(pelvoran::sha256(secretBytes)) + "\t" + number + "\t" +
           dayAgo(back) + "\t" + pelvoran::encodeBase64Url("UE0945 是哪年的？") + "\n";
}

/// The server's line for an answer.
std::string answerLine(const std::string& number, const std::string& keyHash,
                       const std::string& signature) {
    return number + "\t" + keyHash + "\t" + signature + "\t" + sa::kTextBase64 + "\n";
}

/// The controls of a window, in their order (the order screen readers and
/// Tab go by).
std::vector<HWND> childrenOf(HWND window) {
    std::vector<HWND> children;
    for (HWND h = GetWindow(window, GW_CHILD); h != nullptr && children.size() < 64;
         h = GetWindow(h, GW_HWNDNEXT))
        children.push_back(h);
    return children;
}

/// Waits up to kPatienceMs until the server has seen `count` requests.
std::vector<pelvoran::test::ReceivedRequest> requestsOnceIn(const LoopbackServer& server,
                                                            std::size_t count) {
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    for (int i = 0; i < 3000 && server.requests().size() < count && GetTickCount64() < deadline;
         ++i)
        Sleep(10);
    return server.requests();
}

/// Waits up to kPatienceMs until the file holds `contents`.
bool fileBecomes(const std::wstring& path, const std::string& contents) {
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    for (int i = 0; i < 3000 && GetTickCount64() < deadline; ++i) {
        if (readFile(path) == contents)
            return true;
        Sleep(10);
    }
    return false;
}

} // namespace

// Without a pending key the tool sends exactly what it always sent at start:
// the update check and nothing else; a damaged file is set aside.
TEST_F(AppProcess, WithoutPendingKeysStartUpSendsTodaysRequestsOnly) {
    struct Case {
        const char* what;
        std::string file; // empty: none
    };
    const Case cases[] = {
        {"no file", ""},
        {"no records", kHeader},
        {"only a record older than 180 days", kHeader + record(200)},
        {"damaged", kHeader + "nonsense\n"},
    };
    for (const Case& c : cases) {
        appData = std::make_unique<AppData>();
        if (!c.file.empty())
            writeFile(appData->keysFile(), c.file);
        const LoopbackServer server = versionServer("1.05");
        start();
        const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
        ASSERT_NE(main, nullptr) << c.what;
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(waitForExit(), 0u) << c.what;
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u) << c.what;
        EXPECT_TRUE(requests[0].head.starts_with("GET /Canon/LensCheck.asp?")) << c.what;
        if (std::string(c.what) == "damaged") {
            EXPECT_EQ(readFile(appData->keysFile() + L".damaged"), c.file);
        }
        TearDown();
        pi = {};
    }
}

// Two pending keys, both answered: after the check, one POST fetches the
// answers. Each is shown in the answer window with its comment, the focus on
// the answer, and confirmed with the hash of the text shown; its key goes.
// Pelvoran.exe without a key shows both; built with the test key it shows
// only the answer its key signed, and the other key stays. Esc and Enter in
// the answer box close the window as OK does.
TEST_F(AppProcess, ShowsTheSignedAnswersConfirmsThemAndDropsTheirKeys) {
    const std::string otherSecret(16, '\x07');
    const std::string otherRecord = record(0, otherSecret, "43");
    const std::string otherHash = pelvoran::encodeBase64Url(pelvoran::sha256(otherSecret));
    struct Case {
        const char* exe;
        WPARAM closeKey;
        int shown;
    };
    const Case cases[] = {{PELVORAN_TEST_EXE, VK_ESCAPE, 2},
                          {PELVORAN_KEYED_TEST_EXE, VK_RETURN, 1}};
    const auto text = pelvoran::decodeBase64Url(sa::kTextBase64);
    ASSERT_TRUE(text.has_value());
    const std::string textHash = pelvoran::encodeBase64Url(pelvoran::sha256(*text));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exe);
        appData = std::make_unique<AppData>();
        writeFile(appData->keysFile(), kHeader + record() + otherRecord);
        // The other key's answer carries the signature over the first one's.
        const LoopbackServer server(
            {ServerBehaviour::Mode::Reply,
             LoopbackServer::reply(204, ""),
             0,
             {LoopbackServer::reply(200, "1.05"),
              LoopbackServer::reply(200, answerLine(sa::kNumber, sa::kKeyHash, sa::kSignature) +
                                             answerLine("43", otherHash, sa::kSignature))}},
            kServerPort);
        start(c.exe);
        const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
        ASSERT_NE(main, nullptr);
        for (int shown = 0; shown < c.shown; ++shown) {
            const HWND answer = waitForWindow(pi.dwProcessId, L"AnswerForm");
            ASSERT_NE(answer, nullptr) << shown;
            EXPECT_EQ(textOf(answer), L"发布者的回复");
            const auto controls = childrenOf(answer);
            ASSERT_EQ(controls.size(), 5u);
            const std::wstring classes[] = {L"Static", L"Edit", L"Static", L"Edit", L"Button"};
            const std::wstring texts[] = {L"您的留言：", L"UE0945 是哪年的？", L"发布者的回复：",
                                          L"谢谢留言。\r\n这支镜头是1990年9月在宇都宫出厂的。",
                                          L"确定"};
            for (std::size_t i = 0; i < controls.size(); ++i) {
                EXPECT_EQ(_wcsicmp(classOf(controls[i]).c_str(), classes[i].c_str()), 0) << i;
                EXPECT_EQ(textOf(controls[i]), texts[i]) << i;
            }
            for (const HWND box : {controls[1], controls[3]})
                EXPECT_NE(GetWindowLongW(box, GWL_STYLE) & ES_READONLY, 0);
            GUITHREADINFO gui{};
            gui.cbSize = sizeof gui;
            ASSERT_TRUE(GetGUIThreadInfo(pi.dwThreadId, &gui));
            EXPECT_EQ(gui.hwndFocus, controls[3]) << "the focus on the answer";
            PostMessageW(controls[3], WM_KEYDOWN, c.closeKey, 1);
            ASSERT_TRUE(waitForDestroyed(answer));
        }
        // The next window, if there were one, opens as the last one goes.
        for (HWND h : windowsOf(pi.dwProcessId))
            EXPECT_NE(classOf(h), L"AnswerForm");
        const std::string left = c.shown == 2 ? kHeader : kHeader + otherRecord;
        EXPECT_TRUE(fileBecomes(appData->keysFile(), left)) << readFile(appData->keysFile());
        const auto requests = requestsOnceIn(server, 2 + static_cast<std::size_t>(c.shown));
        ASSERT_EQ(requests.size(), 2u + static_cast<std::size_t>(c.shown));
        EXPECT_TRUE(requests[1].head.starts_with("POST /answers HTTP/1.1\r\n"));
        EXPECT_EQ(requests[1].body,
                  std::string(sa::kSecret) + "\n" + pelvoran::encodeBase64Url(otherSecret) + "\n");
        std::vector<std::string> seen;
        for (std::size_t i = 2; i < requests.size(); ++i) {
            EXPECT_TRUE(requests[i].head.starts_with("POST /answers/seen HTTP/1.1\r\n"));
            seen.push_back(requests[i].body);
        }
        std::sort(seen.begin(), seen.end());
        std::vector<std::string> expected{std::string(sa::kSecret) + "\t" + textHash + "\n"};
        if (c.shown == 2)
            expected.push_back(pelvoran::encodeBase64Url(otherSecret) + "\t" + textHash + "\n");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(seen, expected);
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(waitForExit(), 0u);
        TearDown();
        pi = {};
    }
}

// Closing the tool while the fetch waits for a server that never answers
// ends it cleanly, the key kept for the next start.
TEST_F(AppProcess, ClosingDuringTheFetchEndsItKeysKept) {
    const std::string keys = kHeader + record();
    writeFile(appData->keysFile(), keys);
    const LoopbackServer server(
        {ServerBehaviour::Mode::Silent, "", 0, {LoopbackServer::reply(200, "1.05")}}, kServerPort);
    start();
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    const auto requests = requestsOnceIn(server, 2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].head.starts_with("POST /answers HTTP/1.1\r\n"));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
    EXPECT_EQ(readFile(appData->keysFile()), keys);
}

// Pelvoran.exe against the real pelvoran-server (Linux), which
// real_server_test.sh started on the port with a Windows release 1.06 and a
// Linux release 1.07 published: the tool, which names itself Windows, is
// offered the Windows one. Run only by that script.
TEST_F(AppProcess, TheRealServerOffersItTheWindowsRelease) {
    if (std::getenv("PELVORAN_REAL_SERVER") == nullptr)
        GTEST_SKIP() << "run by real_server_test.sh";
    start();
    const HWND box = waitForWindow(pi.dwProcessId, L"#32770");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(textOf(box), L"有更新版本");
    wchar_t message[512] = {};
    GetDlgItemTextW(box, 0xFFFF, message, 512);
    EXPECT_NE(std::wstring(message).find(L"最新版本: 1.06"), std::wstring::npos) << message;
    EXPECT_NE(std::wstring(message).find(L"Windows 版"), std::wstring::npos) << message;
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
}

// The whole conversation with the real server, in real_server_test.sh's
// three steps: the keyed Pelvoran.exe sends a comment and keeps its key with
// the number the server gave; the script answers it on the admin page; at the
// next start the tool shows that answer, confirms it and drops the key. The
// script then reads on the admin page that the answer was delivered.
TEST_F(AppProcess, TheRealServerNumbersTheComment) {
    if (std::getenv("PELVORAN_REAL_SERVER") == nullptr)
        GTEST_SKIP() << "run by real_server_test.sh";
    start(PELVORAN_KEYED_TEST_EXE); // the server's offer is unsigned: no prompt
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    const HWND comment = FindWindowExW(main, nullptr, L"BUTTON", L"留言");
    ASSERT_NE(comment, nullptr);
    PostMessageW(comment, BM_CLICK, 0, 0);
    const HWND form = waitForWindow(pi.dwProcessId, L"CommentForm");
    ASSERT_NE(form, nullptr);
    const HWND box = FindWindowExW(form, nullptr, L"EDIT", nullptr);
    const HWND send = FindWindowExW(form, nullptr, L"BUTTON", L"发送");
    ASSERT_NE(box, nullptr);
    ASSERT_NE(send, nullptr);
    SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"UE0945 是哪年的？"));
    PostMessageW(send, BM_CLICK, 0, 0);
    const HWND thanks = waitForWindow(pi.dwProcessId, L"#32770");
    ASSERT_NE(thanks, nullptr);
    EXPECT_EQ(textOf(thanks), L"感谢");
    wchar_t message[512] = {};
    GetDlgItemTextW(thanks, 0xFFFF, message, 512);
    EXPECT_NE(std::wstring(message).find(L"留言编号：1。"), std::wstring::npos) << message;
    PostMessageW(thanks, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(waitForDestroyed(form));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
    const std::string keys = readFile(appData->keysFile());
    EXPECT_TRUE(keys.starts_with(kHeader)) << keys;
    EXPECT_NE(keys.find("\t1\t"), std::string::npos) << keys;
}

TEST_F(AppProcess, TheRealServerAnswerReachesTheTool) {
    if (std::getenv("PELVORAN_REAL_SERVER") == nullptr)
        GTEST_SKIP() << "run by real_server_test.sh";
    start(PELVORAN_KEYED_TEST_EXE); // the server's offer is unsigned: no prompt
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    const HWND answer = waitForWindow(pi.dwProcessId, L"AnswerForm");
    ASSERT_NE(answer, nullptr);
    const auto controls = childrenOf(answer);
    ASSERT_EQ(controls.size(), 5u);
    EXPECT_EQ(textOf(controls[1]), L"UE0945 是哪年的？");
    EXPECT_EQ(textOf(controls[3]), L"1990年9月，宇都宫。");
    EXPECT_TRUE(fileBecomes(appData->keysFile(), kHeader)) << readFile(appData->keysFile());
    PostMessageW(controls[4], BM_CLICK, 0, 0);
    ASSERT_TRUE(waitForDestroyed(answer));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
}
