#pragma once

// What the store's files share of SQLite, and no file outside the store
// sees: statements and connections that close on every way out, the
// publisher's words for SQLite's errors, and the newest schema this server
// knows.

#include "server/store/store_error.h"
#include "server/store/store_time.h"

#include "platform/text.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran::server {

/// What SQLite's result code `rc` means for the publisher, in Chinese, with
/// SQLite's own words (or the system's reason) in brackets.
std::string sqliteErrorText(sqlite3* db, int rc);

/// The newest schema version (PRAGMA user_version) this server knows.
int knownSchemaVersion();

/// The schema's forward migrations: entry N brings a database from
/// user_version N to N+1.
std::span<const char* const> schemaMigrations();

/// The refusal of `what` (a database named for the publisher) written by a
/// newer server, with schema version `schema`.
std::string newerSchemaText(const std::string& what, std::int64_t schema);

/// Comments are nobody else's business: a file of the database that group
/// or others may read is made the owner's alone. The -wal and -shm files
/// SQLite creates later take the main file's mode.
void keepPrivate(const std::string& path);

/// A connection closed on every way out: what a Database holds, and what
/// its stores and a Transaction work on.
class Connection {
public:
    explicit Connection(sqlite3* db) noexcept : db_(db) {}
    Connection(Connection&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
    Connection& operator=(Connection&&) = delete;
    ~Connection() { sqlite3_close(db_); }

    sqlite3* get() const { return db_; }
    /// Runs `sql`, statements that return no rows. Throws StoreError.
    void exec(const std::string& sql) {
        if (const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
            rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db_, rc));
    }
    /// The rows the last INSERT, UPDATE or DELETE changed.
    std::int64_t changes() const { return sqlite3_changes(db_); }

private:
    sqlite3* db_;
};

/// Opens `path` (a URI when `flags` has SQLITE_OPEN_URI) as every connection
/// of the server is opened: in defensive mode, so that no statement can
/// write the schema or the pages behind SQLite's back, and with
/// trusted_schema off, so that a file's own triggers and views run no
/// function that could act outside it. Throws StoreError (SQLite's reason).
Connection openConnection(const std::string& path, int flags);

/// Puts an open connection in the mode openConnection gives. Throws StoreError.
void harden(sqlite3* db);

/// `file:` URI of `path` with the query `query` ("mode=ro&immutable=1"):
/// every byte that a URI would read otherwise escaped.
std::string fileUri(const std::string& path, const std::string& query);

/// What one of SQLite's checks (quick_check, integrity_check) says of a
/// database: the lines that are not "ok" (none when all is well), and how
/// the check ended (SQLITE_OK when it ran through, else why not).
struct CheckResult {
    std::vector<std::string> problems;
    int rc = SQLITE_OK;
    std::string why;
};

CheckResult runCheck(const Connection& db, const char* pragma);

/// Whether every line of integrity_check names an index: damage that
/// REINDEX, which builds each index again from its table, can mend.
bool indexesOnly(const std::vector<std::string>& problems);

/// Builds every index again and checks the whole database, in one write
/// transaction that is committed only when the check is clean: true then;
/// otherwise the database is left exactly as it was.
bool rebuildIndexes(Connection& db);

/// A statement, finalized on every way out.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db, rc));
    }
    Statement(const Connection& db, const std::string& sql) : Statement(db.get(), sql.c_str()) {}
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int i, std::int64_t v) { check(sqlite3_bind_int64(stmt_, i, v)); }
    void bind(int i, const std::string& v) {
        check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    void bind(int i, TextView v) { bind(i, toUtf8(v)); }
    // Times as their columns keep them: seconds, milliseconds or days since 1970.
    void bind(int i, std::chrono::sys_seconds t) {
        bind(i, std::int64_t{t.time_since_epoch().count()});
    }
    void bind(int i, MillisTime t) { bind(i, std::int64_t{t.time_since_epoch().count()}); }
    void bind(int i, std::chrono::local_days d) {
        bind(i, std::int64_t{d.time_since_epoch().count()});
    }
    void bindBlob(int i, const std::string& v) {
        check(sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }

    /// True while rows come.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw StoreError(sqliteErrorText(db_, rc));
        return false;
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }
    std::string text(int col) {
        const auto* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    Text utf16(int col) { return fromUtf8Lenient(text(col)); }
    std::chrono::sys_seconds seconds(int col) {
        return std::chrono::sys_seconds(std::chrono::seconds(integer(col)));
    }
    MillisTime millis(int col) { return MillisTime(std::chrono::milliseconds(integer(col))); }
    std::chrono::local_days day(int col) {
        return std::chrono::local_days(std::chrono::days(integer(col)));
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db_, rc));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace pelvoran::server
