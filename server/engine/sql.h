#pragma once

// What the stores' files say to their engine, SQLite or PostgreSQL, and no
// file outside the store sees: a connection, and statements with numbered
// parameters ("?" and "?N", as SQLite writes them) whose rows are read by
// column. A statement's SQL is what both engines understand; where they
// differ, the connection says it (textContains, claimRows) or does it
// (highestNumber, compactAfterDeletion, ...): no store asks which engine
// it runs on.

#include "server/engine/store_error.h"
#include "server/engine/store_time.h"

#include "platform/text.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran::server {

/// The two engines: the schema's steps (schema.h) pick their dialect by it.
enum class Engine { sqlite, postgres };

/// Whether `location`, as given with --database, names a PostgreSQL
/// database (a libpq URI: postgresql://… or postgres://…) rather than a
/// SQLite file.
bool isPostgresLocation(const std::string& location);

/// A PostgreSQL `location` as the publisher may see it in messages and
/// logs: its hosts, ports and database, never a password or an option.
std::string shownLocation(const std::string& location);

/// Where deleted text may still be read after a deletion's compaction: in
/// nothing of the database's own, in SQLite's write-ahead log (a reader
/// kept it from being emptied), or in PostgreSQL's table files (the table
/// could not be written anew in time).
enum class Remnant { none, writeAheadLog, tableFiles };

/// The synchronous standbys a PostgreSQL primary commits to: the setting
/// that names them, and how many are connected and synchronous now.
struct SynchronousStandbys {
    std::string names; // synchronous_standby_names; empty: none
    std::int64_t connected = 0;
};

/// What the servers that work on one database agree on among themselves.
/// On SQLite one server alone works on a file (the state directory's
/// lock): its own state files are the truth, and there is nobody to agree
/// with.
class ServerPeers {
public:
    virtual ~ServerPeers() = default;
    /// A file every server on the database shares (its data and mode): the
    /// one stored under `name`, or nullopt (always on SQLite).
    virtual std::optional<std::pair<std::string, unsigned>> sharedFile(const std::string& name) = 0;
    /// Stores `data` under `name` unless another server stored one first;
    /// the one stored either way (on SQLite, `data`). Throws StoreError.
    virtual std::string shareFile(const std::string& name, const std::string& data,
                                  unsigned mode) = 0;
    /// Whether this server makes the daily backup of `day`, `fileThere`
    /// saying whether its backups/ holds that day's file already: on SQLite,
    /// when it does not (the file says it is done); on PostgreSQL, the first
    /// of the servers to ask, and no other (a restore gives the day back).
    virtual bool claimDailyBackup(std::chrono::sys_days day, bool fileThere) = 0;
    /// Says for as long as the connection lives that a server works on the
    /// database, so that a restore refuses it meanwhile (nothing on SQLite).
    virtual void holdServing() = 0;

protected:
    ServerPeers() = default;
    ServerPeers(const ServerPeers&) = default;
    ServerPeers& operator=(const ServerPeers&) = default;
};

/// One engine's statement behind a Statement.
class StatementImpl {
public:
    virtual ~StatementImpl() = default;
    virtual void bind(int i, std::int64_t v) = 0;
    virtual void bind(int i, const std::string& v) = 0;
    virtual void bindBlob(int i, const std::string& v) = 0;
    virtual bool step() = 0;
    virtual void reset() = 0;
    virtual std::int64_t integer(int col) = 0;
    virtual std::string text(int col) = 0;
};

/// A connection closed on every way out: what a Database holds, and what
/// its stores and a Transaction work on.
class Connection {
public:
    virtual ~Connection() = default;
    /// Which engine this is: for the schema's steps (schema.cpp) alone,
    /// which pick their dialect by it.
    virtual Engine engine() const = 0;
    /// Runs `sql`, statements that return no rows. Throws StoreError.
    virtual void exec(const std::string& sql) = 0;
    /// The rows the last INSERT, UPDATE or DELETE changed.
    virtual std::int64_t changes() const = 0;
    virtual std::unique_ptr<StatementImpl> prepare(const std::string& sql) const = 0;
    /// Begins a write transaction: one writer at a time, a second one
    /// waiting up to the connection's busy timeout before it fails, so that
    /// it waits before its first statement rather than failing midway.
    virtual void beginWrite() = 0;
    /// Ends a transaction that may have failed already, saying nothing.
    virtual void rollbackQuietly() noexcept = 0;
    /// See Database::setDeadline; SQLite's file takes none.
    virtual void setDeadline(Deadline) {}
    /// Whether setDeadline bounds this connection's waits (on SQLite the
    /// busy timeout alone does).
    virtual bool takesDeadlines() const = 0;
    /// Whether a connection that failed is made again by itself at its next
    /// use (a SQLite file is opened afresh instead).
    virtual bool mendsItself() const = 0;

    /// SQL that holds when the text column `column` contains the text bound
    /// to `parameter` as it is: no pattern characters.
    virtual std::string textContains(const std::string& column,
                                     const std::string& parameter) const = 0;
    /// The suffix of a SELECT, inside a write transaction, that claims the
    /// rows of `table` (a name or alias) it reads for this server until the
    /// transaction ends, skipping those another server claimed; empty when
    /// one server alone works on the database (SQLite).
    virtual std::string claimRows(const std::string& table) const = 0;
    /// The highest number `table` ever gave a row (its id), deleted rows'
    /// too; 0 when it gave none. Throws StoreError.
    virtual std::int64_t highestNumber(const std::string& table) = 0;
    /// highestNumber of every table that numbers its rows. Throws StoreError.
    virtual std::map<std::string, std::int64_t> highestNumbers() = 0;
    /// Hands out, in each table named that numbers its rows, only numbers
    /// above the one given. Throws StoreError.
    virtual void keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) = 0;
    /// After a deletion from `tables` committed, rids the database's files
    /// of what it deleted as far as this engine can at once; where deleted
    /// text may still be read when that could not be done. Throws StoreError.
    virtual Remnant compactAfterDeletion(const std::vector<std::string>& tables) = 0;
    /// A number that changes whenever another connection commits (on
    /// PostgreSQL, whenever a release, a rollout or a served file changes).
    virtual std::int64_t changeCounter() = 0;
    /// Makes the statement running now on this connection, from another
    /// thread, end soon with an error.
    virtual void interrupt() = 0;
    /// What the engine's full check finds wrong: none when the database is
    /// whole (PostgreSQL checks its own pages: none). Throws StoreError.
    virtual std::vector<std::string> integrityProblems() = 0;
    /// Builds every index again and checks the whole database, committed only
    /// when the check is clean: whether it was (PostgreSQL: false).
    virtual bool rebuildIndexes() = 0;
    /// The database's size on its server; nullopt when files say it (SQLite).
    virtual std::optional<std::int64_t> serverBytes() = 0;
    /// The synchronous standbys; nullopt on SQLite. Throws StoreError.
    virtual std::optional<SynchronousStandbys> synchronousStandbys() = 0;
    /// Whether the database server's process `session` still runs (false on
    /// SQLite). Throws StoreError.
    virtual bool sessionAlive(std::int64_t session) = 0;
    /// Writes a consistent copy of the whole database to the new SQLite file
    /// `path` (see Database::copyInto). Throws StoreError.
    virtual void copyInto(const std::string& path) = 0;
    /// What the servers on this database agree on.
    virtual ServerPeers& peers() = 0;
    /// The version of the schema the database holds (0: none yet).
    virtual int schemaVersion() = 0;
    /// Brings the schema up to date (schemaMigrations()), in one
    /// transaction. A database of a newer server is refused and not
    /// changed. Throws StoreError.
    virtual void migrate() = 0;

protected:
    Connection() = default;
    Connection(const Connection&) = default;
    Connection& operator=(const Connection&) = default;
};

/// Opens the database at `location`, a SQLite file or a libpq URI
/// (isPostgresLocation), as a server's connection: a writer waits up to
/// `busyTimeout` for another's transaction; on PostgreSQL, the connection is
/// made by `deadline`. A SQLite file is created when needed (0600), made the
/// owner's alone, and switched to WAL with synchronous=FULL. Throws
/// StoreError.
std::unique_ptr<Connection> openConnection(const std::string& location,
                                           std::chrono::milliseconds busyTimeout,
                                           Deadline deadline = std::nullopt);

/// A statement, finalized on every way out.
class Statement {
public:
    Statement(const Connection& db, const std::string& sql) : impl_(db.prepare(sql)) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int i, std::int64_t v) { impl_->bind(i, v); }
    void bind(int i, const std::string& v) { impl_->bind(i, v); }
    void bind(int i, TextView v) { bind(i, toUtf8(v)); }
    // Times as their columns keep them: seconds, milliseconds or days since 1970.
    void bind(int i, std::chrono::sys_seconds t) {
        bind(i, std::int64_t{t.time_since_epoch().count()});
    }
    void bind(int i, MillisTime t) { bind(i, std::int64_t{t.time_since_epoch().count()}); }
    void bind(int i, std::chrono::local_days d) {
        bind(i, std::int64_t{d.time_since_epoch().count()});
    }
    void bindBlob(int i, const std::string& v) { impl_->bindBlob(i, v); }

    /// True while rows come.
    bool step() { return impl_->step(); }
    void reset() { impl_->reset(); }
    std::int64_t integer(int col) { return impl_->integer(col); }
    std::string text(int col) { return impl_->text(col); }
    Text utf16(int col) { return fromUtf8Lenient(text(col)); }
    std::chrono::sys_seconds seconds(int col) {
        return std::chrono::sys_seconds(std::chrono::seconds(integer(col)));
    }
    MillisTime millis(int col) { return MillisTime(std::chrono::milliseconds(integer(col))); }
    std::chrono::local_days day(int col) {
        return std::chrono::local_days(std::chrono::days(integer(col)));
    }

private:
    std::unique_ptr<StatementImpl> impl_;
};

} // namespace pelvoran::server
