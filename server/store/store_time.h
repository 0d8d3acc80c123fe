#pragma once

// The store's times, each in the unit its columns keep, so that a wrong
// unit does not compile. An instant of the epoch (0 in its column) stands
// for "never".

#include <chrono>
#include <ctime>

namespace pelvoran::server {

/// An instant in milliseconds since 1970 (UTC): the outbox's times and the
/// admin sessions' ends.
using MillisTime = std::chrono::sys_time<std::chrono::milliseconds>;

/// Now, to the millisecond.
inline MillisTime millisNow() {
    return std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

/// Now, to the second: when a comment arrives, a release is published or
/// cleared, an audit line is written, a recipient is tried.
inline std::chrono::sys_seconds secondsNow() {
    return std::chrono::sys_seconds(std::chrono::seconds(std::time(nullptr)));
}

} // namespace pelvoran::server
