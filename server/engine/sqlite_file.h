#pragma once

// SQLite files as the upkeep reads and writes them whichever engine serves:
// a backup, the state directory's database checked before it is served, a
// database rebuilt from a backup. Each is a Connection like any other; what
// only a SQLite file has (its check, its schema version) is here.

#include "server/engine/schema.h"
#include "server/engine/sql.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pelvoran::server {

/// How openSqliteFile opens a SQLite file.
enum class SqliteFile {
    backup,    // read as it is: nothing else writes it, so no lock and no journal
    readOnly,  // read, beside whatever else has it open
    readWrite, // read and written, never created
    create,    // read and written, created when missing
};

/// Opens the SQLite file at `path` as every connection of the server is
/// opened (defensive, no trusted schema); a writer waits up to
/// `busyTimeout` for another's transaction. Throws StoreError (SQLite's
/// reason, in the publisher's words).
std::unique_ptr<Connection> openSqliteFile(const std::string& path, SqliteFile how,
                                           std::chrono::milliseconds busyTimeout = {});

/// The URI that ATTACH takes to read the file at `path` as a backup is read.
std::string backupUri(const std::string& path);

/// Whether the SQLite file `db` has open may not be written by this process.
bool readOnlyFile(Connection& db);

/// Whether the last failure on the SQLite file `db` was the machine's (a
/// full disk, an I/O error, no memory) rather than its data's.
bool failedForWantOfResources(Connection& db);

/// What SQLite's check (quick_check, or integrity_check when `full`) says of
/// the file `db` has open.
struct FileCheck {
    std::vector<std::string> problems; // the lines that are not "ok"
    bool ranThrough = true;            // else the check itself failed:
    bool notADatabase = false;         //   the file is no database
    bool corrupt = false;              //   the file is damaged
    std::string reason;                //   SQLite's word for it
    std::string why;                   //   in the publisher's words
};
FileCheck checkFile(Connection& db, bool full);

/// Whether every line of integrity_check names an index: damage that
/// REINDEX, which builds each index again from its table, can mend.
bool indexesOnly(const std::vector<std::string>& problems);

/// The schema version (PRAGMA user_version) of the SQLite file `db`.
std::int64_t fileSchemaVersion(Connection& db);

/// Comments are nobody else's business: a file of the database that group
/// or others may read is made the owner's alone. The -wal and -shm files
/// SQLite creates later take the main file's mode.
void keepPrivate(const std::string& path);

} // namespace pelvoran::server
