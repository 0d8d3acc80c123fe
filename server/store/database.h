#pragma once

#include "server/engine/sql.h"
#include "server/engine/store_time.h"
#include "server/store/answer_store.h"
#include "server/store/audit_log.h"
#include "server/store/comment_store.h"
#include "server/store/download_store.h"
#include "server/store/field_store.h"
#include "server/store/outbox_store.h"
#include "server/store/release_store.h"
#include "server/store/session_store.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran::server {

/// How long a writer waits for another connection's transaction before it
/// gives up, unless told otherwise.
inline constexpr std::chrono::milliseconds kBusyTimeout = std::chrono::seconds(2);

/// The engine's open connection (sql.h): only the store's own files use
/// it.
class Connection;

/// One connection to the server's database, and the stores that work on
/// it. The database is a SQLite file, or a PostgreSQL database named by a
/// libpq URI (postgresql://…). Opening a file creates it when needed
/// (0600), takes group and other access from an existing file and its -wal
/// and -shm, and switches it to WAL with synchronous=FULL. Either engine's
/// schema is brought up to date (SQLite's PRAGMA user_version, or the table
/// pelvoran_schema, counts the migrations applied); a database written by a
/// newer server is refused. Use a connection, and its stores, from one
/// thread at a time.
class Database {
public:
    /// A writer waits up to `busyTimeout` for another connection's
    /// transaction before it gives up. On PostgreSQL, the connection is
    /// made and the schema checked by `deadline` (setDeadline), which then
    /// holds until changed. Throws StoreError.
    explicit Database(const std::string& location,
                      std::chrono::milliseconds busyTimeout = kBusyTimeout,
                      Deadline deadline = std::nullopt);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    CommentStore& comments() { return comments_; }
    AnswerStore& answers() { return answers_; }
    OutboxStore& outbox() { return outbox_; }
    ReleaseStore& releases() { return releases_; }
    AuditLog& audit() { return audit_; }
    SessionStore& sessions() { return sessions_; }
    FieldStore& field() { return field_; }
    DownloadStore& downloads() { return downloads_; }

    /// On PostgreSQL, its synchronous standbys (a connected one shows only
    /// to a user with the pg_monitor role); nullopt on SQLite. Throws
    /// StoreError.
    std::optional<SynchronousStandbys> synchronousStandbys();
    /// What the servers on this database agree on: the files they share,
    /// the day's backup, that one serves (ServerPeers).
    ServerPeers& peers();
    /// Whether setDeadline bounds this database's waits (on SQLite, the busy
    /// timeout alone does).
    bool takesDeadlines() const;
    /// Whether a connection that failed is made again by itself at its next
    /// use; otherwise the database is opened afresh.
    bool mendsItself() const;
    /// On PostgreSQL, the database's size on its server; nullopt on SQLite,
    /// whose files say it.
    std::optional<std::int64_t> serverBytes();
    /// Changes whenever another connection commits (SQLite's PRAGMA
    /// data_version); on PostgreSQL, whenever a release, a rollout or a
    /// served file changes (Connection::changeCounter).
    std::int64_t dataVersion();
    int schemaVersion();
    /// Begins a write transaction and rolls it back at once: whether one can
    /// begin now. Throws StoreError.
    void tryWrite();

    /// On PostgreSQL, every wait on the server from now on (a connection
    /// made again, a statement, a commit) ends by `until`: past it, what
    /// runs is cancelled and, when the cancel is not answered within
    /// kCancelAnswer, the connection is given up and made again at the next
    /// use; StoreError is thrown (UncertainCommit for a commit). None: the
    /// server is waited for, but a commit is still cancelled after the busy
    /// timeout (at least kShortestDeadline). Callable from any thread: a
    /// statement under way takes up the new deadline within a tenth of a
    /// second (the end bounds what another thread waits for). On SQLite,
    /// nothing: its busy timeout bounds the wait for another writer.
    void setDeadline(Deadline until);
    /// Whether the database server's process `session` (an UncertainCommit's)
    /// still runs: while it does, the commit it was given may yet end
    /// either way. False on SQLite. Throws StoreError.
    bool sessionAlive(std::int64_t session);

    /// Writes a consistent copy of the whole database to `path` (VACUUM
    /// INTO: one read transaction, so writers go on meanwhile and memory
    /// stays bounded), which must not exist or be empty. Not synced. From
    /// PostgreSQL, a SQLite file of the same schema, read in one REPEATABLE
    /// READ transaction, a few rows at a time.
    void copyInto(const std::string& path);
    /// Hands out, in each table named, only numbers above the one given: a
    /// restored database never gives a number the replaced one gave.
    void keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers);

    /// The lines of SQLite's full check (PRAGMA integrity_check) that are
    /// not "ok": none when the database is whole (always on PostgreSQL).
    /// Throws StoreError.
    std::vector<std::string> integrityProblems();
    /// See Connection::rebuildIndexes.
    bool rebuildIndexes();

    /// Makes the statement running now on this connection, from another
    /// thread, end soon with an error. On PostgreSQL: a cancel request, and
    /// a deadline of now (setDeadline), so that a server that does not
    /// answer it has the connection given up within kCancelAnswer, and
    /// nothing more is sent until another deadline is set.
    void interrupt();

    /// For a Transaction that spans writes of several stores; opaque outside
    /// the store's own files.
    Connection& connection() { return *connection_; }

private:
    void migrate();

    std::unique_ptr<Connection> connection_;
    AuditLog audit_; // before the stores that log their acts in it
    CommentStore comments_;
    AnswerStore answers_;
    OutboxStore outbox_;
    ReleaseStore releases_;
    SessionStore sessions_;
    FieldStore field_;
    DownloadStore downloads_;
};

} // namespace pelvoran::server
