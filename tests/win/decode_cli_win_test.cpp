// pelvoran-decode.exe as a Windows process: UTF-16 arguments, UTF-8 through
// pipes, "\n" line ends as on Linux.
#include "tests/win/win_process.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <windows.h>

namespace {

using pelvoran::test::hostPath;

struct Outcome {
    DWORD status = 0;
    std::string out;
};

/// Runs the exe with `arguments`, `input` on its standard input, and
/// collects its standard output. A run that has not ended within 60 seconds
/// (far beyond its fraction of a second) is ended, and its status is 999.
Outcome run(const std::wstring& arguments, const std::string& input) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite;
    CreatePipe(&inRead, &inWrite, &inherit, 0);
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = L"\"" + hostPath(PELVORAN_DECODE_EXE) + L"\" " + arguments;
    Outcome r;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi)) {
        r.status = 999;
        return r;
    }
    CloseHandle(inRead);
    CloseHandle(outWrite);
    // Ending a hung run also closes its end of the pipes, so the reads
    // below return.
    bool ended = false;
    std::thread guard([&] {
        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) {
            ended = true;
            TerminateProcess(pi.hProcess, 999);
            WaitForSingleObject(pi.hProcess, 60000);
        }
    });
    DWORD written = 0;
    WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(inWrite);
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(outRead, buf, sizeof buf, &got, nullptr) && got > 0)
        r.out.append(buf, got);
    CloseHandle(outRead);
    guard.join();
    GetExitCodeProcess(pi.hProcess, &r.status);
    if (ended)
        r.status = 999;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return r;
}

const std::string kUE0945 = "日本宇都宫（Utsunomiya）工厂 出厂日期:1990年09月";
const std::string kNotice = "此结果仅供参考，谢谢";
const std::string kHint =
    "请输入6、8或10位的编号，编号一般印在卡口处\n格式为 UE0945 或 6831234567 之类\n";

} // namespace

TEST(DecodeCliWin, ArgumentsAndPipesAreUtf8WithLinuxLineEnds) {
    struct Case {
        std::wstring arguments;
        std::string input;
        std::string out;
        DWORD status;
    };
    const Case cases[] = {
        {L"--raw UE0945", "", kUE0945 + "\r" + kNotice + "\n", 0},
        {L"UE0945", "", kUE0945 + "\n" + kNotice + "\n", 0},
        {L"镜头", "", kHint, 0}, // a Chinese argument arrives whole
        {L"", "UE0945\r\n镜头\n", kUE0945 + "\n" + kNotice + "\n" + kHint, 0},
        {L"", "\xff\xfe\n", "pelvoran-decode: line 1: not valid UTF-8, skipped\n", 1},
        {L"--bogus", "", "", 2},
    };
    for (const auto& c : cases) {
        const Outcome r = run(c.arguments, c.input);
        EXPECT_EQ(r.status, c.status) << c.input;
        if (c.status != 2) {
            EXPECT_EQ(r.out, c.out) << c.input;
        }
    }
}
