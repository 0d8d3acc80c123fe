#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace pelvoran::server {

/// What the server counts for monitoring, since it started. Safe to count
/// from any thread.
class Metrics {
public:
    /// The statuses a comment is refused with.
    static constexpr std::array<unsigned, 4> kRefusals{400, 413, 429, 503};

    void updateCheck() { updateChecks_.fetch_add(1, std::memory_order_relaxed); }
    void stored() { stored_.fetch_add(1, std::memory_order_relaxed); }
    /// A notification's send failed (a test send's does not count).
    void notificationFailed() { notificationFailures_.fetch_add(1, std::memory_order_relaxed); }
    /// A comment answered `status`; any status but those of kRefusals is
    /// counted as 400.
    void refused(unsigned status);

    std::uint64_t updateChecks() const { return updateChecks_.load(); }
    std::uint64_t commentsStored() const { return stored_.load(); }
    std::uint64_t notificationFailures() const { return notificationFailures_.load(); }
    /// Refused comments so far, by status.
    std::map<unsigned, std::uint64_t> refusals() const;

private:
    std::atomic<std::uint64_t> updateChecks_{0};
    std::atomic<std::uint64_t> stored_{0};
    std::atomic<std::uint64_t> notificationFailures_{0};
    std::array<std::atomic<std::uint64_t>, kRefusals.size()> refused_{};
};

/// The state of the files and of the outbox, read when /metrics is asked for.
struct StateFigures {
    /// Seconds since the newest backup was written; nullopt: there is none.
    std::optional<std::int64_t> backupAge;
    /// The database with its write-ahead log.
    std::uint64_t databaseBytes = 0;
    /// Notifications waiting to be sent.
    std::int64_t notificationsPending = 0;
    /// How long the oldest of them has waited, in seconds; 0 when none
    /// waits, so that an alert on it needs no case for an absent series.
    std::int64_t oldestPendingSeconds = 0;
};

/// The newest backup, the database's size and the outbox in `stateDir`, at
/// `nowMs` (milliseconds since 1970). Throws StoreError when the database
/// cannot be read.
StateFigures stateFigures(const std::string& stateDir, std::int64_t nowMs);

/// Prometheus' text format (version 0.0.4) of the counts and the figures.
std::string metricsText(const Metrics& metrics, const StateFigures& figures);

/// The refused comments since `before` by status, for the log ("429 ×12，
/// 400 ×1"); empty when there were none.
std::string refusalsSince(const std::map<unsigned, std::uint64_t>& before,
                          const std::map<unsigned, std::uint64_t>& now);

} // namespace pelvoran::server
