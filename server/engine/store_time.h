#pragma once

// The store's times, each in the unit its columns keep, so that a wrong
// unit does not compile. An instant of the epoch (0 in its column) stands
// for "never".

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>

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

/// When a wait on the database server ends, on the monotonic clock its
/// sockets are polled by; none: it waits as long as the server takes.
using Deadline = std::optional<std::chrono::steady_clock::time_point>;

/// The least a comment's transaction, and any commit, is given on
/// PostgreSQL, whatever the busy timeout (which may be 0: take no lock
/// that another holds).
inline constexpr std::chrono::milliseconds kShortestDeadline{500};

/// What a comment's transaction is given on PostgreSQL: the busy timeout,
/// at least kShortestDeadline.
constexpr std::chrono::milliseconds storeDeadline(std::chrono::milliseconds busyTimeout) {
    return std::max(busyTimeout, kShortestDeadline);
}

/// How long, past a deadline, PostgreSQL's answer to the cancel of what ran
/// is awaited before the connection is given up.
inline constexpr std::chrono::milliseconds kCancelAnswer{1000};

} // namespace pelvoran::server
