// Start-up of Pelvoran.exe against a bare window, alternated in one run:
//   pelvoran_win_startup <runs> <pelvoran.exe> <bare.exe>
// Each run times one process from its start until its first window is shown
// and painted and the process waits for input (WaitForInputIdle), then
// closes it. The Pelvoran under test asks its update question of the server
// this harness runs on 127.0.0.1:48573 ("1.05": no offer), as at a real
// start.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// Winsock before the rest of Windows.
#include <winsock2.h>

#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};

void serveVersion(SOCKET listener) {
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n"
                              "Connection: close\r\n\r\n1.05";
    while (!g_stop) {
        WSAPOLLFD p{listener, POLLRDNORM, 0};
        if (WSAPoll(&p, 1, 50) <= 0)
            continue;
        const SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        char buf[4096];
        WSAPOLLFD c{s, POLLRDNORM, 0};
        if (WSAPoll(&c, 1, 2000) > 0)
            recv(s, buf, sizeof buf, 0);
        send(s, reply.data(), static_cast<int>(reply.size()), 0);
        shutdown(s, SD_SEND);
        closesocket(s);
    }
}

struct Found {
    DWORD pid;
    std::vector<HWND> windows;
};

BOOL CALLBACK collectWindow(HWND h, LPARAM p) {
    auto* f = reinterpret_cast<Found*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid == f->pid && IsWindowVisible(h))
        f->windows.push_back(h);
    return TRUE;
}

/// Milliseconds from the start of the process to its first idle wait with a
/// visible window; -1 when it did not get there within 30 seconds.
double timeOne(const std::wstring& exe) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = L"\"" + exe + L"\"";
    const auto start = Clock::now();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return -1;
    double ms = -1;
    if (WaitForInputIdle(pi.hProcess, 30000) == 0) {
        Found found{pi.dwProcessId, {}};
        for (int i = 0; i < 3000 && found.windows.empty(); ++i) {
            EnumWindows(&collectWindow, reinterpret_cast<LPARAM>(&found));
            if (found.windows.empty())
                Sleep(1);
        }
        if (!found.windows.empty()) {
            ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            for (HWND h : found.windows)
                PostMessageW(h, WM_CLOSE, 0, 0);
        }
    }
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return ms;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: pelvoran_win_startup <runs> <pelvoran.exe> <bare.exe>\n", stderr);
        return 2;
    }
    const int runs = std::clamp(_wtoi(argv[1]), 1, 200);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(48573);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 8) != 0) {
        std::fputs("cannot listen on 127.0.0.1:48573\n", stderr);
        return 1;
    }
    std::thread server(serveVersion, listener);

    std::vector<double> pelvoran, bare;
    timeOne(argv[2]); // warm both up once: DLLs into the page cache
    timeOne(argv[3]);
    for (int i = 0; i < runs; ++i) {
        const double p = timeOne(argv[2]);
        const double b = timeOne(argv[3]);
        if (p >= 0)
            pelvoran.push_back(p);
        if (b >= 0)
            bare.push_back(b);
    }
    g_stop = true;
    server.join();
    closesocket(listener);
    const double mp = median(pelvoran);
    const double mb = median(bare);
    std::printf("runs %d (alternated), median to first painted window, idle:\n", runs);
    std::printf("  bare window  %8.1f ms  (%zu runs)\n", mb, bare.size());
    std::printf("  Pelvoran     %8.1f ms  (%zu runs)\n", mp, pelvoran.size());
    std::printf("  ratio        %8.2f\n", mb > 0 ? mp / mb : 0.0);
    return pelvoran.size() == static_cast<std::size_t>(runs) &&
                   bare.size() == static_cast<std::size_t>(runs)
               ? 0
               : 1;
}
