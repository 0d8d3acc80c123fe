// Start-up of Pelvoran.exe against a bare window, alternated in one run:
//   pelvoran_win_startup <runs> <pelvoran.exe> <bare.exe>
// Each run times one process from its start until its first window is shown
// and painted and the process waits for input (WaitForInputIdle), then
// closes it. The Pelvoran under test asks its update question of the server
// this harness runs on 127.0.0.1:48573 ("1.05": no offer), as at a real
// start.
#include "tests/support/loopback_server.h"
#include "tests/win/win_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

using pelvoran::test::LoopbackServer;
using pelvoran::test::ServerBehaviour;
using pelvoran::test::visibleWindowsOf;

using Clock = std::chrono::steady_clock;

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
        std::vector<HWND> windows;
        for (int i = 0; i < 3000 && windows.empty(); ++i) {
            windows = visibleWindowsOf(pi.dwProcessId);
            if (windows.empty())
                Sleep(1);
        }
        if (!windows.empty()) {
            ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            for (HWND h : windows)
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
    std::unique_ptr<LoopbackServer> server;
    try {
        server = std::make_unique<LoopbackServer>(
            ServerBehaviour{ServerBehaviour::Mode::Reply,
                            LoopbackServer::reply(200, "1.05", "text/plain")},
            48573);
    } catch (const std::exception&) {
        std::fputs("cannot listen on 127.0.0.1:48573\n", stderr);
        return 1;
    }

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
    server.reset();
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
