#include "platform/desktop.h"

#include <cstdio>
#include <windows.h>
#include <shellapi.h>

namespace pelvoran {

bool SystemShell::openUrl(const std::string& url) {
    // The address (already checked to be a plain http or https address of
    // printable ASCII) is the file to open, never part of a command line.
    // Shown minimized with the focus; the tool does not wait for it.
    for (const char c : url) {
        if (c <= 0x20 || c >= 0x7F)
            return false; // widening below is only right for printable ASCII
    }
    const std::wstring wide(url.begin(), url.end());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWMINIMIZED));
    return result > 32;
}

void SystemShell::exitNow() {
    std::fflush(nullptr);
    ExitProcess(0);
}

} // namespace pelvoran
