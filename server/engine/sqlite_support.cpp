#include "server/engine/sqlite_support.h"

#include "server/engine/engine_texts.h"
#include "server/engine/transaction.h"
#include "server/support/error_text.h"
#include "server/support/log.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran::server {

std::string sqliteErrorText(sqlite3* db, int rc) {
    const char* english = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int error = db ? sqlite3_system_errno(db) : 0;
    std::string cause;
    switch (rc & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
        // The system's reason says more than SQLite's.
        if (error != 0)
            return engine_text::withDetail(systemErrorText(error), english);
        cause = (rc & 0xFF) == SQLITE_IOERR ? engine_text::kDiskError : engine_text::kCannotOpen;
        break;
    case SQLITE_PERM:
    case SQLITE_AUTH: cause = engine_text::kNoPermission; break;
    case SQLITE_READONLY: cause = engine_text::kReadOnly; break;
    case SQLITE_FULL: cause = engine_text::kDiskFull; break;
    case SQLITE_NOTADB: cause = engine_text::kNotOurDatabase; break;
    case SQLITE_CORRUPT: cause = engine_text::kCorrupt; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: cause = engine_text::kLockedTryLater; break;
    case SQLITE_NOMEM: cause = engine_text::kOutOfMemory; break;
    default: cause = engine_text::kFailed; break;
    }
    return engine_text::withDetail(cause, english);
}

void keepPrivate(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        struct stat st {};
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
            ::chmod(file.c_str(), st.st_mode & 0700);
    }
}

SqliteConnection openConnection(const std::string& path, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteConnection db(raw);
    if (rc != SQLITE_OK)
        throw StoreError(sqliteErrorText(raw, rc));
    harden(raw);
    return db;
}

void harden(sqlite3* db) {
    // A double-quoted name that names no column is an error, never the
    // string it spells: a backup's table without a column the restore copies
    // is refused, not restored with the column's name in every row.
    if (sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) != SQLITE_OK ||
        sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr) != SQLITE_OK ||
        sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr) != SQLITE_OK)
        throw StoreError(sqliteErrorText(db, SQLITE_ERROR));
}

std::string fileUri(const std::string& path, const std::string& query) {
    std::string uri = "file:";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::string_view("/-._~").find(ch) != std::string_view::npos) {
            uri += ch;
        } else {
            constexpr char kHex[] = "0123456789ABCDEF";
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0xF];
        }
    }
    return uri + "?" + query;
}

CheckResult runCheck(const SqliteConnection& connection, const char* pragma) {
    sqlite3* db = connection.get();
    CheckResult r;
    sqlite3_stmt* stmt = nullptr;
    r.rc = sqlite3_prepare_v2(db, pragma, -1, &stmt, nullptr);
    if (r.rc == SQLITE_OK) {
        while ((r.rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            std::string line = text ? reinterpret_cast<const char*>(text) : "";
            std::replace(line.begin(), line.end(), '\n', ' ');
            if (line != "ok")
                r.problems.push_back(line);
        }
        if (r.rc == SQLITE_DONE)
            r.rc = SQLITE_OK;
    }
    if (r.rc != SQLITE_OK)
        r.why = sqliteErrorText(db, r.rc);
    sqlite3_finalize(stmt);
    return r;
}

bool indexesOnly(const std::vector<std::string>& problems) {
    // integrity_check's words for an index that disagrees with its table.
    return !problems.empty() &&
           std::all_of(problems.begin(), problems.end(), [](const std::string& line) {
               return line.find(" missing from index ") != std::string::npos ||
                      line.starts_with("wrong # of entries in index ") ||
                      line.starts_with("non-unique entry in index ");
           });
}

bool rebuildIndexes(SqliteConnection& db) {
    try {
        Transaction transaction(db);
        db.exec("REINDEX");
        const CheckResult after = runCheck(db, "PRAGMA integrity_check");
        if (after.rc != SQLITE_OK || !after.problems.empty())
            return false; // rolled back: the database as it was
        transaction.commit();
        return true;
    } catch (const StoreError&) {
        return false;
    }
}

} // namespace pelvoran::server
