// The real start-up path as its own process: Pelvoran.exe (built to ask
// 127.0.0.1:PELVORAN_TEST_SERVER_PORT) against a server in this test.
#include <gtest/gtest.h>

#include "tests/support/agent_line.h"
#include "tests/support/loopback_server.h"
#include "tests/support/signed_replies.h"
#include "tests/win/win_process.h"

#include <cstdlib>
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

std::wstring textOf(HWND h) {
    wchar_t text[256];
    GetWindowTextW(h, text, 256);
    return text;
}

/// How long a test waits for what Pelvoran.exe does next: far beyond the
/// second or two it takes under wine, for a loaded machine.
constexpr DWORD kPatienceMs = 30000;

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

class AppProcess : public ::testing::Test {
protected:
    void start(const char* exe = PELVORAN_TEST_EXE) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring commandLine = L"\"" + hostPath(exe) + L"\"";
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi));
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
