#pragma once

// What the engine's files share of SQLite, and no file outside the engine
// sees: its connections, the publisher's words for its errors and its
// checks. What the upkeep sees of a SQLite file is sqlite_file.h's.

#include "server/engine/schema.h"
#include "server/engine/sql.h"
#include "server/engine/sqlite_file.h"

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
    bool takesDeadlines() const override { return false; }
    bool mendsItself() const override { return false; }
    /// instr(): the text as typed.
    std::string textContains(const std::string& column,
                             const std::string& parameter) const override;
    /// One server works on a SQLite file: nothing to claim against.
    std::string claimRows(const std::string&) const override { return {}; }
    /// AUTOINCREMENT's sqlite_sequence, or the highest rowid.
    std::int64_t highestNumber(const std::string& table) override;
    std::map<std::string, std::int64_t> highestNumbers() override;
    /// Only the tables that number with AUTOINCREMENT: call it inside a
    /// transaction.
    void keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) override;
    /// PRAGMA wal_checkpoint(TRUNCATE): every frame copied into the file,
    /// synced, and the WAL cut to nothing (secure_delete overwrote the rows).
    Remnant compactAfterDeletion(const std::vector<std::string>& tables) override;
    /// PRAGMA data_version.
    std::int64_t changeCounter() override;
    void interrupt() override { sqlite3_interrupt(db_); }
    /// PRAGMA integrity_check.
    std::vector<std::string> integrityProblems() override;
    bool rebuildIndexes() override;
    std::optional<std::int64_t> serverBytes() override { return std::nullopt; }
    std::optional<SynchronousStandbys> synchronousStandbys() override { return std::nullopt; }
    bool sessionAlive(std::int64_t) override { return false; }
    /// VACUUM INTO.
    void copyInto(const std::string& path) override;
    ServerPeers& peers() override;
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

/// Builds every index again and checks the whole database, in one write
/// transaction that is committed only when the check is clean: true then;
/// otherwise the database is left exactly as it was.
bool rebuildIndexes(SqliteConnection& db);

} // namespace pelvoran::server
