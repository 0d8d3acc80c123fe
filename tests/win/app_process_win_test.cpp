// The real start-up path as its own process: Pelvoran.exe (built to ask
// 127.0.0.1:48574) against a server in this test.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Winsock before the rest of Windows.
#include <winsock2.h>

#include <windows.h>

namespace {

std::wstring hostPath(const char* path) {
    std::wstring out = path[0] == '/' ? L"Z:" : L"";
    for (const char* p = path; *p != '\0'; ++p)
        out += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out;
}

/// Answers every request on 127.0.0.1:48574 with one fixed body.
class VersionServer {
public:
    explicit VersionServer(std::string body) : body_(std::move(body)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(48574);
        const BOOL yes = TRUE;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes),
                   sizeof yes);
        listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     listen(listener_, 8) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~VersionServer() {
        stop_ = true;
        thread_.join();
        closesocket(listener_);
    }
    bool listening() const { return listening_; }
    int requests() const { return requests_; }

private:
    void serve() {
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                  "Content-Length: " +
                                  std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" +
                                  body_;
        while (!stop_ && listening_) {
            WSAPOLLFD p{listener_, POLLRDNORM, 0};
            if (WSAPoll(&p, 1, 50) <= 0)
                continue;
            const SOCKET s = accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                continue;
            char buf[4096];
            WSAPOLLFD c{s, POLLRDNORM, 0};
            if (WSAPoll(&c, 1, 2000) > 0 && recv(s, buf, sizeof buf, 0) > 0)
                ++requests_;
            send(s, reply.data(), static_cast<int>(reply.size()), 0);
            shutdown(s, SD_SEND);
            closesocket(s);
        }
    }

    std::string body_;
    SOCKET listener_ = INVALID_SOCKET;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

struct Windows {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK collectWindow(HWND h, LPARAM p) {
    auto* ws = reinterpret_cast<Windows*>(p);
    DWORD owner = 0;
    GetWindowThreadProcessId(h, &owner);
    if (owner == ws->pid && IsWindowVisible(h))
        ws->found.push_back(h);
    return TRUE;
}

/// The visible top-level windows of a process.
std::vector<HWND> windowsOf(DWORD pid) {
    Windows w{pid, {}};
    EnumWindows(&collectWindow, reinterpret_cast<LPARAM>(&w));
    return w.found;
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

/// Waits up to 20 seconds for a visible window of the class.
HWND waitForWindow(DWORD pid, const std::wstring& className) {
    for (int i = 0; i < 400; ++i) {
        for (HWND h : windowsOf(pid))
            if (classOf(h) == className)
                return h;
        Sleep(50);
    }
    return nullptr;
}

class AppProcess : public ::testing::Test {
protected:
    void start() {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring commandLine = L"\"" + hostPath(PELVORAN_TEST_EXE) + L"\"";
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi));
    }
    DWORD waitForExit() {
        DWORD status = 999;
        if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0)
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
    VersionServer server("1.05[;]http://example.com/[;]2012-12-30[;]");
    ASSERT_TRUE(server.listening());
    start();
    const HWND main = waitForWindow(pi.dwProcessId, L"PelvoranForm");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(textOf(main), L"Pelvoran(v1.05 Powered By Brannoc)");
    EXPECT_EQ(server.requests(), 1); // the update check asked once, and offered nothing
    EXPECT_EQ(windowsOf(pi.dwProcessId).size(), 1u);

    // Help open, main closed: the process goes on until the help window closes.
    const HWND help = FindWindowExW(main, nullptr, L"BUTTON", L"帮助");
    ASSERT_NE(help, nullptr);
    PostMessageW(help, BM_CLICK, 0, 0);
    const HWND helpWindow = waitForWindow(pi.dwProcessId, L"HelpForm");
    ASSERT_NE(helpWindow, nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    PostMessageW(helpWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(waitForExit(), 0u);
}

TEST_F(AppProcess, NewerVersionIsOfferedBeforeTheMainWindowAndCancelGoesOn) {
    VersionServer server("1.06[;]http://example.com/p.exe[;]2012-12-30[;]Fixes");
    ASSERT_TRUE(server.listening());
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
