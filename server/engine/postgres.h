#pragma once

// The store on PostgreSQL, through libpq: what the store's files share of
// it, and no file outside the store sees.

#include "server/engine/sql.h"
#include "server/engine/store_time.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct pg_conn;
struct pg_cancel;
struct pg_result;

namespace pelvoran::server {

/// A libpq URI as the publisher may see it: its hosts, ports and
/// database, never a password or an option.
std::string shownPostgres(const std::string& location);

/// Keys of the advisory locks the servers of one database take, each for
/// one kind of work.
enum class AdvisoryLock : std::int64_t {
    writer = 0x50454c5600000001,    // a write transaction, one at a time
    migration = 0x50454c5600000002, // bringing the schema up to date
    serving = 0x50454c5600000003,   // shared by every serve, taken alone by restore
};

/// How often a wait on a statement looks again at its deadline, which
/// another thread may have changed.
inline constexpr std::chrono::milliseconds kLookAgain{100};

/// "SELECT function(key)" for the advisory lock `lock`.
std::string lockCall(const char* function, AdvisoryLock lock);

/// A libpq connection, closed on every way out. Its sessions commit
/// synchronously (synchronous_commit at least "on"), and write
/// transactions take one advisory lock, so that they follow each other as
/// SQLite's do. A connection lost between transactions is made again (to
/// whichever host of the URI now takes writes) before the next statement,
/// and one lost before its BEGIN was answered once more, BEGIN then sent
/// again: nothing of the transaction had run. One lost later fails the
/// transaction.
/// Every wait on the server is bounded by the deadline set (setDeadline),
/// and a commit's by the busy timeout (at least kShortestDeadline) as well.
/// A wait on a statement looks at the deadline at least every kLookAgain.
class PgConnection final : public Connection {
public:
    /// Connects to `location` by `deadline`, refused (LocationRefused) when
    /// libpq cannot read it or it carries a password: a location is given
    /// where others may see it. A writer waits up to `busyTimeout` for
    /// another's transaction. Throws StoreError.
    PgConnection(const std::string& location, std::chrono::milliseconds busyTimeout,
                 Deadline deadline = std::nullopt);
    ~PgConnection() override;
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    Engine engine() const override { return Engine::postgres; }
    void exec(const std::string& sql) override;
    std::int64_t changes() const override { return changes_; }
    std::unique_ptr<StatementImpl> prepare(const std::string& sql) const override;
    void beginWrite() override;
    void rollbackQuietly() noexcept override;
    /// Callable from any thread: a wait under way takes it up within
    /// kLookAgain.
    void setDeadline(Deadline until) override;
    bool takesDeadlines() const override { return true; }
    bool mendsItself() const override { return true; }
    /// strpos(): the text as typed.
    std::string textContains(const std::string& column,
                             const std::string& parameter) const override;
    /// FOR UPDATE OF `table` SKIP LOCKED.
    std::string claimRows(const std::string& table) const override;
    /// The identity's sequence, or the highest id.
    std::int64_t highestNumber(const std::string& table) override;
    std::map<std::string, std::int64_t> highestNumbers() override;
    /// setval() of each table's sequence, never lowered.
    void keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) override;
    /// VACUUM (FULL) of each table, waiting for its lock less long than a
    /// writer waits; a lock not had in time is logged, the deletion stands.
    Remnant compactAfterDeletion(const std::vector<std::string>& tables) override;
    /// SELECT n FROM pelvoran_changes.
    std::int64_t changeCounter() override;
    /// A cancel request, and a deadline of now (setDeadline), so that a
    /// server that does not answer it has the connection given up within
    /// kCancelAnswer, and nothing more is sent until another deadline is set.
    void interrupt() override;
    /// None: PostgreSQL checks its own pages (and the administrator runs
    /// pg_amcheck).
    std::vector<std::string> integrityProblems() override { return {}; }
    bool rebuildIndexes() override { return false; }
    std::optional<std::int64_t> serverBytes() override;
    std::optional<SynchronousStandbys> synchronousStandbys() override;
    /// The table pelvoran_schema's (postgres_schema.cpp).
    int schemaVersion() override;
    /// Servers starting together migrate once: the others wait for the
    /// first, then find it done (postgres_schema.cpp).
    void migrate() override;
    /// Whether the server process `session` (a given-up commit's) still
    /// runs on this connection's server. Throws StoreError.
    bool sessionAlive(std::int64_t session) override;
    /// copyPostgresInto.
    void copyInto(const std::string& path) override;
    ServerPeers& peers() override;

    /// Takes `lock` for this session, beyond any transaction, waiting up
    /// to `wait` for another session's; lets it go. Throws StoreError.
    void lockSession(AdvisoryLock lock, std::chrono::milliseconds wait);
    void unlockSession(AdvisoryLock lock) noexcept;
    /// Holds `lock` shared for as long as the connection lives, taken
    /// again whenever it connects again. Throws StoreError.
    void holdShared(AdvisoryLock lock);

    /// Asks the server to cancel what this connection runs now: callable
    /// from any thread, and returns at once (the request goes from a
    /// thread of its own, at most one at a time).
    void cancel() noexcept;
    const std::string& shown() const { return shown_; }

    /// A statement's parameters, as PQsendQueryParams takes them.
    struct Parameters {
        int count = 0;
        const unsigned* types = nullptr; // Oid
        const char* const* values = nullptr;
        const int* lengths = nullptr;
        const int* formats = nullptr;
    };
    /// Sends `sql` (with `parameters`, when given), on the connection made
    /// again first when it was lost, and waits for its end within the
    /// deadline; its last result, or null when none came (the connection
    /// lost, or given up: see accept). Throws StoreError when the
    /// connection cannot be made, or the deadline has passed: nothing is
    /// sent then.
    pg_result* roundTrip(const std::string& sql, const Parameters* parameters = nullptr);
    /// Throws StoreError, in the publisher's words, unless `result` (null:
    /// none came) is a command's or a query's success; takes its count of
    /// rows changed.
    void accept(const pg_result* result);

private:
    struct PendingConnect;
    struct CancelState;

    /// The connection, made again first when it was lost.
    pg_conn* live();
    /// Makes the connection: at once, or within the deadline from a thread
    /// of its own, whose attempt the next call takes up when it ran out.
    void connect();
    /// Takes `conn`, just made, as this connection.
    void adopt(pg_conn* conn);
    void setUpSession();
    /// Closes the connection without waiting for the server: the next use
    /// makes another.
    void giveUp() noexcept;
    /// Waits until the cancel under way, if any, has been delivered, up to
    /// `until`; whether it was.
    bool cancelDelivered(std::chrono::steady_clock::time_point until);
    /// The failure of the last command, in the publisher's words.
    StoreError failure(const std::string& libpqMessage, const char* sqlState) const;
    /// setDeadline's, as it is now.
    Deadline deadline() const;

    std::string location_;
    std::string shown_;
    std::chrono::milliseconds busyTimeout_;
    // setDeadline's, in ticks of the steady clock (max: none), for any thread.
    std::atomic<std::chrono::steady_clock::rep> deadline_;
    pg_conn* conn_ = nullptr;
    std::int64_t session_ = 0;                // the server process of the last connection made
    std::shared_ptr<PendingConnect> pending_; // a connection being made past its deadline
    std::mutex cancelMutex_;
    std::shared_ptr<pg_cancel> cancel_;       // guarded by cancelMutex_
    std::shared_ptr<CancelState> cancelling_; // shared with the cancel's thread
    std::atomic<bool> cancelled_{false};      // since the last statement began
    std::int64_t changes_ = 0;
    bool inTransaction_ = false;       // a write transaction began and has not ended
    std::optional<AdvisoryLock> held_; // holdShared's
    std::unique_ptr<ServerPeers> peers_;
};

/// Copies the whole PostgreSQL database `pg` into a new SQLite file at
/// `path`, of this server's schema, as one consistent snapshot (a
/// REPEATABLE READ transaction): the same file a SQLite store's backup is.
/// Throws StoreError.
void copyPostgresInto(Connection& pg, const std::string& path);

/// The statement that brings `sql` (with SQLite's "?" and "?N") to
/// PostgreSQL's "$N": a "?" is one more than the highest number before it.
/// Nothing inside quotes, comments or dollar-quoted bodies changes.
/// `parameters` becomes the highest number.
std::string postgresPlaceholders(const std::string& sql, std::size_t& parameters);

} // namespace pelvoran::server
