#pragma once

// What the stores' files say to their engine, SQLite or PostgreSQL, and no
// file outside the store sees: a connection, and statements with numbered
// parameters ("?" and "?N", as SQLite writes them) whose rows are read by
// column. A statement's SQL is what both engines understand; where they
// differ, a store asks its connection's engine().

#include "server/engine/store_error.h"
#include "server/engine/store_time.h"

#include "platform/text.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct sqlite3;

namespace pelvoran::server {

enum class Engine { sqlite, postgres };

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
    virtual Engine engine() const = 0;
    bool postgres() const { return engine() == Engine::postgres; }
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

/// A statement, finalized on every way out.
class Statement {
public:
    Statement(const Connection& db, const std::string& sql) : impl_(db.prepare(sql)) {}
    /// A statement on a bare SQLite handle, for the files that read backups.
    Statement(sqlite3* db, const char* sql);
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
