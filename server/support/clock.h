#pragma once

#include <atomic>
#include <chrono>

namespace pelvoran::server {

/// Where the server reads the time of day: the lives of admin sessions, the
/// notifications' retry times, the daily backup's day. The program reads the
/// system's; a test sets its own, so that no test sleeps to see time pass.
class Clock {
public:
    using TimePoint = std::chrono::sys_time<std::chrono::milliseconds>;

    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;

    /// The system's clock, shared by everything that is given no other.
    static const Clock& system();
};

/// A clock that moves only when told to: a test's. Safe to read from any
/// thread while the test sets it.
class SettableClock final : public Clock {
public:
    explicit SettableClock(TimePoint start) : at_(start.time_since_epoch().count()) {}

    TimePoint now() const override { return TimePoint(std::chrono::milliseconds(at_.load())); }
    void set(TimePoint to) { at_ = to.time_since_epoch().count(); }
    void advance(std::chrono::milliseconds by) { at_ += by.count(); }

private:
    std::atomic<std::chrono::milliseconds::rep> at_;
};

} // namespace pelvoran::server
