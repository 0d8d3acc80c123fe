#pragma once

#include "server/store/audit_log.h"
#include "server/store/comment_store.h"
#include "server/store/download_store.h"
#include "server/store/outbox_store.h"
#include "server/store/release_store.h"
#include "server/store/session_store.h"
#include "server/store/use_store.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pelvoran::server {

/// How long a writer waits for another connection's transaction before it
/// gives up, unless told otherwise.
inline constexpr std::chrono::milliseconds kBusyTimeout = std::chrono::seconds(2);

/// The engine's open connection (sqlite_support.h): only the store's own
/// files see into it.
class Connection;

/// One connection to the server's database, and the stores that work on
/// it. Opening it creates the file when needed (0600), takes group and
/// other access from an existing file and its -wal and -shm, switches it to
/// WAL with synchronous=FULL, and brings its schema up to date (PRAGMA
/// user_version counts the migrations applied). A database written by a
/// newer server is refused. Use a connection, and its stores, from one
/// thread at a time.
class Database {
public:
    /// A writer waits up to `busyTimeout` for another connection's
    /// transaction before it gives up. Throws StoreError.
    explicit Database(const std::string& path,
                      std::chrono::milliseconds busyTimeout = kBusyTimeout);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    CommentStore& comments() { return comments_; }
    OutboxStore& outbox() { return outbox_; }
    ReleaseStore& releases() { return releases_; }
    AuditLog& audit() { return audit_; }
    SessionStore& sessions() { return sessions_; }
    UseStore& use() { return use_; }
    DownloadStore& downloads() { return downloads_; }

    /// Changes whenever another connection commits (PRAGMA data_version).
    std::int64_t dataVersion();
    int schemaVersion();
    /// Whether a write transaction can begin now (it is rolled back at once).
    bool canWrite();

    /// Writes a consistent copy of the whole database to `path` (VACUUM
    /// INTO: one read transaction, so writers go on meanwhile and memory
    /// stays bounded), which must not exist or be empty. Not synced.
    void copyInto(const std::string& path);
    /// Hands out, in each table named, only numbers above the one given: a
    /// restored database never gives a number the replaced one gave.
    void keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers);

    /// The lines of SQLite's full check (PRAGMA integrity_check) that are
    /// not "ok": none when the database is whole. Throws StoreError.
    std::vector<std::string> integrityProblems();
    /// See rebuildIndexes in sqlite_support.h.
    bool rebuildIndexes();

    /// Makes the statement running now on this connection, from another
    /// thread, end soon with an error.
    void interrupt();

    /// For a Transaction that spans writes of several stores; opaque outside
    /// the store's own files.
    Connection& connection() { return *connection_; }

private:
    void migrate();

    std::unique_ptr<Connection> connection_;
    AuditLog audit_; // before the stores that log their acts in it
    CommentStore comments_;
    OutboxStore outbox_;
    ReleaseStore releases_;
    SessionStore sessions_;
    UseStore use_;
    DownloadStore downloads_;
};

} // namespace pelvoran::server
