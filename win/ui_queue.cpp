#include "win/ui_queue.h"

#include <memory>
#include <utility>

namespace pelvoran::win {
namespace {

/// The queue's one message: its lParam owns a std::function<void()>.
constexpr UINT kRun = WM_APP + 10;
constexpr wchar_t kClassName[] = L"PelvoranUiQueue";

LRESULT CALLBACK queueProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kRun)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    const std::unique_ptr<std::function<void()>> run(
        reinterpret_cast<std::function<void()>*>(lParam));
    (*run)();
    return 0;
}

} // namespace

UiQueue::UiQueue() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &queueProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc); // fails harmlessly when a queue registered it before
    // A message-only window: never shown, never in the list of windows.
    window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
}

UiQueue::~UiQueue() {
    if (window_ == nullptr)
        return;
    // What was posted and not run is freed; a post from now on fails.
    const HWND window = std::exchange(window_, nullptr);
    MSG left;
    while (PeekMessageW(&left, window, kRun, kRun, PM_REMOVE))
        delete reinterpret_cast<std::function<void()>*>(left.lParam);
    DestroyWindow(window);
}

void UiQueue::post(std::function<void()> run) {
    auto owned = std::make_unique<std::function<void()>>(std::move(run));
    if (window_ != nullptr && PostMessageW(window_, kRun, 0, reinterpret_cast<LPARAM>(owned.get())))
        owned.release(); // the message owns it now
}

} // namespace pelvoran::win
