#pragma once

#include <functional>
#include <windows.h>

namespace pelvoran::win {

/// Runs functions that other threads hand in on the thread that made the
/// queue, from its message loop (whichever runs: a message box's too). What
/// is still waiting when the queue goes is dropped.
class UiQueue {
public:
    UiQueue();
    ~UiQueue();
    UiQueue(const UiQueue&) = delete;
    UiQueue& operator=(const UiQueue&) = delete;

    /// Hands `run` to the queue's thread; safe from any thread. Dropped when
    /// the queue can take nothing (it is going, or the system refused).
    void post(std::function<void()> run);

private:
    HWND window_ = nullptr;
};

} // namespace pelvoran::win
