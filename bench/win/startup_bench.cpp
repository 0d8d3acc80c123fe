// Start-up of Pelvoran.exe against the fair window and the bare window, each
// also with Pelvoran's manifest, alternated in one run:
//   pelvoran_win_startup <runs> <pelvoran.exe> <fair.exe> <bare.exe>
//                        <fair+manifest.exe> <bare+manifest.exe>
// Each run times one process from its start until its first window is shown
// and painted and the process waits for input (WaitForInputIdle), then
// closes it. The Pelvoran under test and the fair window ask their update
// question of the server this harness runs on 127.0.0.1 ("1.05": no
// offer), as at a real start.
#include "tests/support/loopback_server.h"
#include "tests/win/win_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iterator>
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

struct Program {
    const char* name;
    std::wstring exe;
    std::vector<double> ms;

    double median() const {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v.empty() ? -1 : v[v.size() / 2];
    }
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 7) {
        std::fputs("usage: pelvoran_win_startup <runs> <pelvoran.exe> <fair.exe> <bare.exe> "
                   "<fair+manifest.exe> <bare+manifest.exe>\n",
                   stderr);
        return 2;
    }
    const int runs = std::clamp(_wtoi(argv[1]), 1, 200);
    std::unique_ptr<LoopbackServer> server;
    try {
        server = std::make_unique<LoopbackServer>(
            ServerBehaviour{ServerBehaviour::Mode::Reply,
                            LoopbackServer::reply(200, "1.05", "text/plain")},
            PELVORAN_BENCH_SERVER_PORT);
    } catch (const std::exception&) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", PELVORAN_BENCH_SERVER_PORT);
        return 1;
    }

    Program programs[] = {{"Pelvoran", argv[2], {}},
                          {"fair", argv[3], {}},
                          {"bare", argv[4], {}},
                          {"fair+manif.", argv[5], {}},
                          {"bare+manif.", argv[6], {}}};
    for (const auto& p : programs)
        timeOne(p.exe); // warm each up once: DLLs into the page cache
    for (int i = 0; i < runs; ++i) {
        for (auto& p : programs) {
            const double ms = timeOne(p.exe);
            if (ms >= 0)
                p.ms.push_back(ms);
        }
    }
    server.reset();
    std::printf("runs %d (alternated), to first painted window, idle:\n", runs);
    std::printf("  %-12s %8s  %-17s", "", "median", "range");
    for (std::size_t y = 1; y < std::size(programs); ++y)
        std::printf(" %12s", (std::string("/") + programs[y].name).c_str());
    std::printf("\n");
    bool complete = true;
    for (const auto& p : programs) {
        const auto [low, high] = std::minmax_element(p.ms.begin(), p.ms.end());
        const double m = p.median();
        std::printf("  %-12s %5.1f ms  %5.1f-%5.1f ms", p.name, m, p.ms.empty() ? -1 : *low,
                    p.ms.empty() ? -1 : *high);
        for (std::size_t y = 1; y < std::size(programs); ++y) {
            const double yardstick = programs[y].median();
            std::printf(" %12.2f", yardstick > 0 ? m / yardstick : 0.0);
        }
        if (p.ms.size() != static_cast<std::size_t>(runs)) {
            std::printf("  (%zu of %d runs painted)", p.ms.size(), runs);
            complete = false;
        }
        std::printf("\n");
    }
    return complete ? 0 : 1;
}
