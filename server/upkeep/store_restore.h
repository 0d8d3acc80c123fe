#pragma once

// Backups as the store reads and writes them: a database rebuilt from a
// backup's rows alone, the state directory's files a backup carries, and a
// backup's comments read in place. Each opens the file it is given with a
// connection of its own.

#include "server/engine/store_error.h"
#include "server/store/comment_store.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelvoran::server {

/// A file of the state directory that a backup carries beside the database,
/// in its table state_files.
struct StateFile {
    std::string name;
    unsigned mode = 0600;
    std::string sha256; // of `data`, lower-case hex, as the backup says
    std::string data;
};

/// A restore into PostgreSQL refused, nothing changed: what() says why for
/// the log, naming the database; the rest says it to those who word it for
/// people, with what to do.
class RestoreRefused : public StoreError {
public:
    enum class Kind {
        ServersConnected, // a serve holds the database
        NotEmpty,         // table: one that holds rows; rows: how many
    };

    /// `database`: as the refusal names it.
    RestoreRefused(Kind kind, const std::string& what, std::string database, std::string table = "",
                   std::int64_t rows = 0)
        : StoreError(what), kind_(kind), database_(std::move(database)), table_(std::move(table)),
          rows_(rows) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& database() const noexcept { return database_; }
    const std::string& table() const noexcept { return table_; }
    std::int64_t rows() const noexcept { return rows_; }

private:
    Kind kind_;
    std::string database_, table_;
    std::int64_t rows_;
};

/// What rebuildFromBackup made of a backup.
struct RebuiltDatabase {
    std::int64_t schema = 0; // the backup's schema version, brought up to date
    /// The backup's objects that are not of this server's schema ("trigger
    /// x"), none of which came back.
    std::vector<std::string> leftOut;
    std::vector<StateFile> files; // as the backup holds them, not yet checked
};

/// Builds at `fresh` (a new file) a database of this server's own schema
/// with the rows of every table of that schema from the backup at `backup`,
/// which is only read: each table's columns as this server knows them, and
/// each table's highest number ever given, so that none is given twice. No
/// trigger, view or other object of the backup comes back. A backup of an
/// older schema is copied into that schema, then brought up to date. Throws
/// RefusedBackup, naming the backup by `shown`, when it is damaged, not this
/// server's, of a newer server, or holds a known name that is not a table;
/// StoreError when the new database cannot be written.
RebuiltDatabase rebuildFromBackup(const std::string& backup, const std::string& fresh,
                                  const std::string& shown);

/// Adds `files` to the backup copy at `path`, which no connection has open,
/// in its table state_files(name, mode, sha256, data).
void addStateFiles(const std::string& path, const std::vector<StateFile>& files);

/// The names in the state_files table of the backup at `path`; none when
/// it has no such table.
std::vector<std::string> stateFileNames(const std::string& path);

/// For every table of the database at `path` that numbers its rows, the
/// highest number it ever gave. Writes nothing; on closing, its write-ahead
/// log is folded into the file. Throws StoreError.
std::map<std::string, std::int64_t> highestNumbers(const std::string& path);

/// Loads the database at `rebuilt` (a file rebuildFromBackup made) into
/// the PostgreSQL database at `location`, in one transaction: every table's
/// rows but the admin sessions and sign-in codes (none opens the pages after
/// a restore), and each table's numbers set to go on above the highest the
/// backup's server gave. Refused (RestoreRefused, nothing changed) while a
/// serve is connected to the database and, unless `replace`, when it holds
/// any row; with `replace`, what it held is dropped first. The restore
/// goes into the audit log (as upkeep_text::kRestoredAction, with
/// `detail`) in the same transaction. The rows each other table has after
/// the load, counted there and checked against the file (before the audit
/// line).
std::map<std::string, std::int64_t> loadIntoPostgres(const std::string& rebuilt,
                                                     const std::string& location, bool replace,
                                                     const std::string& detail);

/// The comments of the backup at `path`, received at or after `since` (all
/// when nullopt), newest first: read as the file is, never migrated or
/// written, and nothing left beside it. Throws RefusedBackup naming it
/// `shown` as rebuildFromBackup does, StoreError when it cannot be read.
std::vector<StoredComment> backupComments(const std::string& path, const std::string& shown,
                                          std::optional<std::chrono::sys_seconds> since);

} // namespace pelvoran::server
