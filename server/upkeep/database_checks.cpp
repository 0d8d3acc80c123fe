#include "server/upkeep/database_checks.h"

#include "server/engine/sqlite_support.h"
#include "server/engine/transaction.h"
#include "server/store/database.h"
#include "server/support/error_text.h"
#include "server/support/log.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran::server {
namespace {

/// Index damage found as serve starts: a copy of the database set aside in
/// backups/ under a name that says why, then every index built again and
/// the whole database checked. What the check says after: clean when mended
/// (said in the log); otherwise `found`, the database as it was and no copy
/// left, to be refused as any damage is.
CheckResult mendIndexes(SqliteConnection& db, const std::string& path, const std::string& shown,
                        CheckResult found) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(path).parent_path() / "backups";
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return found;
    char name[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(name, sizeof name, kIndexDamagedName, &tm);
    const std::string aside = (dir / name).string();
    sqlite3_stmt* copy = nullptr;
    bool copied = sqlite3_prepare_v2(db.get(), "VACUUM INTO ?", -1, &copy, nullptr) == SQLITE_OK &&
                  sqlite3_bind_text(copy, 1, aside.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                  sqlite3_step(copy) == SQLITE_DONE;
    sqlite3_finalize(copy);
    if (!copied) {
        ::unlink(aside.c_str());
        return found;
    }
    if (!rebuildIndexes(db)) {
        ::unlink(aside.c_str());
        return found;
    }
    const std::string shownAside = (fs::path(shown).parent_path() / "backups" / name).string();
    logError("数据库文件 " + shown + " 的索引与表不符（" + found.problems.front() +
             "），表中的数据完好：已重建全部索引，完整检查无误，照常启动。重建前的数据库保存为 " +
             shownAside + "，确认无误后可以删除它。");
    return {};
}

} // namespace

void checkDatabase(const std::string& path, const std::string& shown, DatabaseCheck how) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return;
    const std::string backups =
        (std::filesystem::path(shown).parent_path() / "backups").string() + "/";
    if (st.st_size == 0)
        throw StoreError("数据库文件 " + shown + " 是空的（0 字节），已被清空。请从 " + backups +
                         " 中的备份恢复（pelvoran-server restore），或删除它以重新开始。");
    keepPrivate(path);
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteConnection db(raw);
    if (rc != SQLITE_OK)
        throw StoreError("无法打开数据库文件 " + shown + "：" + sqliteErrorText(raw, rc));
    harden(raw);
    if (sqlite3_db_readonly(raw, "main") == 1)
        throw StoreError("数据库文件 " + shown +
                         " 是只读的，服务器无法保存留言。请让运行服务器的用户可以写入它"
                         "（例如 chmod 600），再重试。");
    sqlite3_busy_timeout(raw, static_cast<int>(kBusyTimeout.count()));
    const bool full = how == DatabaseCheck::AtStart &&
                      static_cast<std::uintmax_t>(st.st_size) <= kFullCheckAtStart;
    CheckResult check = runCheck(db, full ? "PRAGMA integrity_check" : "PRAGMA quick_check");
    if (full && check.rc == SQLITE_OK && indexesOnly(check.problems))
        check = mendIndexes(db, path, shown, check);
    std::string problem = check.problems.empty() ? "" : check.problems.front();
    const int step = check.rc;
    const int primary = step & 0xFF;
    if (primary == SQLITE_NOTADB)
        throw StoreError("数据库文件 " + shown + " 不是本程序的数据库文件（" +
                         sqlite3_errstr(step) + "），服务器不会使用它。请确认 --state，或从 " +
                         backups + " 中的备份恢复（pelvoran-server restore）。");
    if (problem.empty() && primary == SQLITE_CORRUPT)
        problem = sqlite3_errstr(step);
    if (!problem.empty())
        throw StoreError("数据库文件 " + shown + " 已损坏（" + problem +
                         "），服务器不会使用它。请从 " + backups +
                         " 中的备份恢复（pelvoran-server restore），再重试。");
    if (step != SQLITE_OK)
        throw StoreError("无法检查数据库文件 " + shown + "：" + check.why);
    sqlite3_stmt* version = nullptr;
    int schema = 0;
    if (sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
        sqlite3_step(version) == SQLITE_ROW)
        schema = sqlite3_column_int(version, 0);
    sqlite3_finalize(version);
    if (schema > knownSchemaVersion())
        throw StoreError(newerSchemaText("数据库文件 " + shown, schema));
}

} // namespace pelvoran::server
