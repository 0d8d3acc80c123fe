#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace pelvoran::server {

/// A thread of its own for a loop that waits between rounds. The loop,
/// given this worker, runs until wait() says the end has come; wake() ends
/// a wait early, stop() asks for the end, and the destructor also waits
/// for it. What the loop shares with other threads has a lock of its own.
class Worker {
public:
    explicit Worker(std::function<void(Worker&)> loop);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    /// Ends the wait under way at once, or else the next one: a wake-up is
    /// never lost between the loop's look and its wait. Never blocks long.
    void wake();
    /// Asks the loop to end and wakes it; returns at once.
    void stop();
    bool stopping() const;

    /// On the loop's thread: waits up to `limit` for a wake-up (which it
    /// takes) or the end; false once the end has come.
    bool wait(std::chrono::milliseconds limit);

private:
    mutable std::mutex mutex_;
    std::condition_variable woken_;
    bool wake_ = false;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the rest is ready
};

} // namespace pelvoran::server
