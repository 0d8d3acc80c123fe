#pragma once

#include "server/engine/store_time.h"
#include "server/support/counters.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// A platform's live release as the update check offers it.
struct RolloutFigure {
    std::string platform; // "windows", "linux"
    std::string version;
    int percent = 100; // of the networks offered it; 0: halted
    /// What the networks outside it are offered; empty: nothing.
    std::string earlier = {};
};

/// The state of the files and of the outbox, read when /metrics is asked for.
struct StateFigures {
    /// Seconds since the newest backup was written; nullopt: there is none.
    std::optional<std::int64_t> backupAge;
    /// The database with its write-ahead log.
    std::uint64_t databaseBytes = 0;
    /// Comments held as likely spam, waiting for the publisher.
    std::int64_t heldComments = 0;
    /// Answers written and not delivered that their tools may still fetch.
    std::int64_t answersWaiting = 0;
    /// Notifications waiting to be sent.
    std::int64_t notificationsPending = 0;
    /// How long the oldest of them has waited, in seconds; 0 when none
    /// waits, so that an alert on it needs no case for an absent series.
    std::int64_t oldestPendingSeconds = 0;
    /// PostgreSQL's synchronous standbys connected now; none on SQLite.
    std::optional<std::int64_t> synchronousStandbys;
    /// Each platform's live release; none for a platform without one.
    std::vector<RolloutFigure> rollouts = {};
};

/// The newest backup, the database's size, the outbox and the releases, of
/// `stateDir` and `database` (its file's path or a PostgreSQL URI), at
/// `now`. Throws StoreError when the database cannot be read.
StateFigures stateFigures(const std::string& stateDir, const std::string& database, MillisTime now);

/// Prometheus' text format (version 0.0.4) of the counts and the figures.
std::string metricsText(const Metrics& metrics, const StateFigures& figures);

/// The refused comments since `before` by status, for the log ("429 ×12，
/// 400 ×1"); empty when there were none.
std::string refusalsSince(const std::map<unsigned, std::uint64_t>& before,
                          const std::map<unsigned, std::uint64_t>& now);

} // namespace pelvoran::server
