#pragma once
// What the Windows tests and the start-up benchmark need to find the program
// they start: its path as Windows sees it and its visible windows.

#include <string>
#include <vector>
#include <windows.h>

namespace pelvoran::test {

/// A path of the build machine as the running system sees it: under wine,
/// the Unix root is drive Z:.
inline std::wstring hostPath(const char* path) {
    std::wstring out = path[0] == '/' ? L"Z:" : L"";
    for (const char* p = path; *p != '\0'; ++p)
        out += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out;
}

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> found;
};

// A named CALLBACK function: on 32-bit Windows a lambda does not convert to
// the stdcall that EnumWindows takes.
inline BOOL CALLBACK collectVisibleWindow(HWND h, LPARAM p) {
    auto* search = reinterpret_cast<WindowSearch*>(p);
    DWORD owner = 0;
    GetWindowThreadProcessId(h, &owner);
    if (owner == search->pid && IsWindowVisible(h))
        search->found.push_back(h);
    return TRUE;
}

/// The visible top-level windows of a process.
inline std::vector<HWND> visibleWindowsOf(DWORD pid) {
    WindowSearch search{pid, {}};
    EnumWindows(&collectVisibleWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace pelvoran::test
