#include "platform/desktop.h"

#include "platform/system_function_win.h"

#include <cstdio>
#include <windows.h>

#include <shellapi.h>

namespace pelvoran {

bool SystemShell::openUrl(const std::string& url) {
    // The address (already checked to be a plain http or https address of
    // printable ASCII) is the file to open, never part of a command line.
    // Shown minimized with the focus.
    for (const char c : url) {
        if (c <= 0x20 || c >= 0x7F)
            return false; // widening below is only right for printable ASCII
    }
    const std::wstring wide(url.begin(), url.end());
    // The shell and COM are large, and only an accepted update uses them.
    using CoInitializeExFn = HRESULT(WINAPI*)(LPVOID, DWORD);
    using ShellExecuteExWFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
    if (const auto init = systemFunction<CoInitializeExFn>(L"ole32.dll", "CoInitializeEx"))
        init(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const auto execute = systemFunction<ShellExecuteExWFn>(L"shell32.dll", "ShellExecuteExW");
    if (execute == nullptr)
        return false;
    // Synchronous, so that the answer says whether the address was opened
    // (no program for http, say) before the tool ends.
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = wide.c_str();
    info.nShow = SW_SHOWMINIMIZED;
    return execute(&info) != FALSE;
}

void SystemShell::exitNow() {
    std::fflush(nullptr);
    ExitProcess(0);
}

} // namespace pelvoran
