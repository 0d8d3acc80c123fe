#pragma once

// What the store's files share of SQLite, and no file outside the store
// sees: its connections, the publisher's words for its errors and its checks.

#include "server/engine/schema.h"
#include "server/engine/sql.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran::server {

/// What SQLite's result code `rc` means for the publisher, in Chinese, with
/// SQLite's own words (or the system's reason) in brackets.
std::string sqliteErrorText(sqlite3* db, int rc);

/// Comments are nobody else's business: a file of the database that group
/// or others may read is made the owner's alone. The -wal and -shm files
/// SQLite creates later take the main file's mode.
void keepPrivate(const std::string& path);

/// A SQLite connection, closed on every way out.
class SqliteConnection final : public Connection {
public:
    explicit SqliteConnection(sqlite3* db) noexcept : db_(db) {}
    SqliteConnection(SqliteConnection&& other) noexcept
        : Connection(), db_(std::exchange(other.db_, nullptr)) {}
    SqliteConnection& operator=(SqliteConnection&&) = delete;
    ~SqliteConnection() override { sqlite3_close(db_); }

    sqlite3* get() const { return db_; }
    Engine engine() const override { return Engine::sqlite; }
    void exec(const std::string& sql) override {
        if (const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
            rc != SQLITE_OK)
            throw StoreError(sqliteErrorText(db_, rc));
    }
    std::int64_t changes() const override { return sqlite3_changes(db_); }
    std::unique_ptr<StatementImpl> prepare(const std::string& sql) const override;
    /// BEGIN IMMEDIATE: the busy timeout is SQLite's own.
    void beginWrite() override { exec("BEGIN IMMEDIATE"); }
    void rollbackQuietly() noexcept override {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    /// PRAGMA user_version.
    int schemaVersion() override;
    void migrate() override;

private:
    sqlite3* db_;
};

/// Opens `path` (a URI when `flags` has SQLITE_OPEN_URI) as every connection
/// of the server is opened: in defensive mode, so that no statement can
/// write the schema or the pages behind SQLite's back, and with
/// trusted_schema off, so that a file's own triggers and views run no
/// function that could act outside it. Throws StoreError (SQLite's reason).
SqliteConnection openConnection(const std::string& path, int flags);

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

CheckResult runCheck(const SqliteConnection& db, const char* pragma);

/// Whether every line of integrity_check names an index: damage that
/// REINDEX, which builds each index again from its table, can mend.
bool indexesOnly(const std::vector<std::string>& problems);

/// Builds every index again and checks the whole database, in one write
/// transaction that is committed only when the check is clean: true then;
/// otherwise the database is left exactly as it was.
bool rebuildIndexes(SqliteConnection& db);

} // namespace pelvoran::server
