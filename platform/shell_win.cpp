#include "platform/desktop.h"

#include <cstdio>
#include <windows.h>

namespace pelvoran {
namespace {

/// A function of a system DLL that is loaded only when it is needed: the
/// shell and COM are large, and only an accepted update uses them.
template <class Fn> Fn systemFunction(const wchar_t* dll, const char* name) {
    HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr)
        module = LoadLibraryW(dll);
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

bool SystemShell::openUrl(const std::string& url) {
    // The address (already checked to be a plain http or https address of
    // printable ASCII) is the file to open, never part of a command line.
    // Shown minimized with the focus; the tool does not wait for it.
    for (const char c : url) {
        if (c <= 0x20 || c >= 0x7F)
            return false; // widening below is only right for printable ASCII
    }
    const std::wstring wide(url.begin(), url.end());
    using CoInitializeExFn = HRESULT(WINAPI*)(LPVOID, DWORD);
    using ShellExecuteWFn = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
    if (const auto init = systemFunction<CoInitializeExFn>(L"ole32.dll", "CoInitializeEx"))
        init(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const auto execute = systemFunction<ShellExecuteWFn>(L"shell32.dll", "ShellExecuteW");
    if (execute == nullptr)
        return false;
    const auto result = reinterpret_cast<INT_PTR>(
        execute(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWMINIMIZED));
    return result > 32;
}

void SystemShell::exitNow() {
    std::fflush(nullptr);
    ExitProcess(0);
}

} // namespace pelvoran
