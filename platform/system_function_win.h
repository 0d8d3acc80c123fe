#pragma once

#include <windows.h>

namespace pelvoran {

/// A function of a system DLL that is loaded only when it is first needed,
/// or null when the DLL or the function is missing.
template <class Fn> Fn systemFunction(const wchar_t* dll, const char* name) {
    HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr)
        module = LoadLibraryW(dll); // Windows 7 without the search flags
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace pelvoran
