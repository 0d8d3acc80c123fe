#include "server/sqlite_support.h"

#include "server/error_text.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

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
            return systemErrorText(error) + "（" + english + "）";
        cause = (rc & 0xFF) == SQLITE_IOERR ? "磁盘读写出错，请检查磁盘" : "无法打开";
        break;
    case SQLITE_PERM:
    case SQLITE_AUTH: cause = "权限不够，请用 sudo 运行"; break;
    case SQLITE_READONLY:
        cause = "文件是只读的，运行的用户无法写入：请用 sudo 运行，或让所有者可以写入它";
        break;
    case SQLITE_FULL: cause = "磁盘已满，请腾出空间后重试"; break;
    case SQLITE_NOTADB: cause = "不是本程序的数据库文件"; break;
    case SQLITE_CORRUPT: cause = "数据库已损坏，请从备份恢复"; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: cause = "数据库被另一个进程锁住，请稍后重试"; break;
    case SQLITE_NOMEM: cause = "内存不够"; break;
    default: cause = "数据库出错"; break;
    }
    return cause + "（" + english + "）";
}

std::string newerSchemaText(const std::string& what, std::int64_t schema) {
    return what + " 来自更新版本的服务器（数据库格式 " + std::to_string(schema) +
           "，本程序只认到 " + std::to_string(knownSchemaVersion()) +
           "）：请升级 pelvoran-server 后再用它。";
}

void keepPrivate(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        struct stat st {};
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
            ::chmod(file.c_str(), st.st_mode & 0700);
    }
}

namespace {

/// What one of SQLite's checks (quick_check, integrity_check) says of a
/// database: the first line that is not "ok" (blank when all is well), and
/// how the check ended (SQLITE_OK when it ran through, else why not).
struct CheckResult {
    std::string problem;
    int rc = SQLITE_OK;
    std::string why;
};

CheckResult runCheck(sqlite3* db, const char* pragma) {
    CheckResult r;
    sqlite3_stmt* stmt = nullptr;
    r.rc = sqlite3_prepare_v2(db, pragma, -1, &stmt, nullptr);
    if (r.rc == SQLITE_OK) {
        while ((r.rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            const std::string line = text ? reinterpret_cast<const char*>(text) : "";
            if (line != "ok" && r.problem.empty())
                r.problem = line;
        }
        if (r.rc == SQLITE_DONE)
            r.rc = SQLITE_OK;
    }
    if (r.rc != SQLITE_OK)
        r.why = sqliteErrorText(db, r.rc);
    sqlite3_finalize(stmt);
    return r;
}

} // namespace

void checkDatabase(const std::string& path, const std::string& shown) {
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
    const Connection db(raw, &sqlite3_close);
    if (rc != SQLITE_OK)
        throw StoreError("无法打开数据库文件 " + shown + "：" + sqliteErrorText(raw, rc));
    if (sqlite3_db_readonly(raw, "main") == 1)
        throw StoreError("数据库文件 " + shown +
                         " 是只读的，服务器无法保存留言。请让运行服务器的用户可以写入它"
                         "（例如 chmod 600），再重试。");
    sqlite3_busy_timeout(raw, 2000);
    const CheckResult check = runCheck(raw, "PRAGMA quick_check");
    std::string problem = check.problem;
    std::replace(problem.begin(), problem.end(), '\n', ' ');
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

void checkRestorable(const std::string& path, const std::string& shown) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    const Connection db(raw, &sqlite3_close);
    if (rc != SQLITE_OK)
        throw StoreError("无法打开 " + shown + "：" + sqliteErrorText(raw, rc));
    const CheckResult check = runCheck(raw, "PRAGMA integrity_check");
    const std::string problem = check.rc != SQLITE_OK ? check.why : check.problem;
    if (!problem.empty())
        throw StoreError(shown + " 不是完好的数据库（" + problem + "）");
    Statement version(raw, "PRAGMA user_version");
    version.step();
    const auto schema = version.integer(0);
    Statement tables(raw, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                          "('comments', 'release')");
    tables.step();
    if (schema < 1 || tables.integer(0) != 2)
        throw StoreError(shown + " 不是 pelvoran-server 的数据库");
    if (schema > knownSchemaVersion())
        throw StoreError(newerSchemaText(shown, schema));
}

} // namespace pelvoran::server
