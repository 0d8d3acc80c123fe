#include "win/announce.h"

namespace pelvoran::win {
namespace {

// What the notification needs of uiautomationcore.dll and oleaut32.dll,
// declared here: older import libraries and headers do not have it.
constexpr int kNotificationKindActionCompleted = 2;
constexpr int kNotificationProcessingImportantMostRecent = 1;
using HostProviderFromHwnd = HRESULT(WINAPI*)(HWND, IUnknown**);
using RaiseNotificationEvent = HRESULT(WINAPI*)(IUnknown*, int, int, BSTR, BSTR);
using AllocString = BSTR(WINAPI*)(const OLECHAR*);
using FreeString = void(WINAPI*)(BSTR);

template <class Fn> Fn function(HMODULE module, const char* name) {
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct UiAutomation {
    HostProviderFromHwnd hostProvider = nullptr;
    RaiseNotificationEvent raise = nullptr;
    AllocString allocString = nullptr;
    FreeString freeString = nullptr;

    bool present() const {
        return hostProvider != nullptr && raise != nullptr && allocString != nullptr &&
               freeString != nullptr;
    }
};

/// Loaded on the first answer and kept: a program that announces nothing
/// never loads them.
const UiAutomation& uiAutomation() {
    static const UiAutomation found = [] {
        UiAutomation u;
        const HMODULE core = LoadLibraryW(L"uiautomationcore.dll");
        const HMODULE ole = LoadLibraryW(L"oleaut32.dll");
        u.hostProvider = function<HostProviderFromHwnd>(core, "UiaHostProviderFromHwnd");
        u.raise = function<RaiseNotificationEvent>(core, "UiaRaiseNotificationEvent");
        u.allocString = function<AllocString>(ole, "SysAllocString");
        u.freeString = function<FreeString>(ole, "SysFreeString");
        return u;
    }();
    return found;
}

} // namespace

void announceByUiAutomation(HWND control, const Text& text) {
    const UiAutomation& uia = uiAutomation();
    if (!uia.present())
        return;
    IUnknown* provider = nullptr;
    if (FAILED(uia.hostProvider(control, &provider)) || provider == nullptr)
        return;
    const BSTR shown = uia.allocString(reinterpret_cast<const OLECHAR*>(text.c_str()));
    const BSTR activity = uia.allocString(L"Pelvoran.Answer");
    if (shown != nullptr && activity != nullptr)
        uia.raise(provider, kNotificationKindActionCompleted,
                  kNotificationProcessingImportantMostRecent, shown, activity);
    uia.freeString(activity);
    uia.freeString(shown);
    provider->Release();
}

} // namespace pelvoran::win
