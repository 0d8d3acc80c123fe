#include "server/upkeep/database_checks.h"

#include "server/engine/sqlite_file.h"
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
FileCheck mendIndexes(Connection& db, const std::string& path, const std::string& shown,
                      FileCheck found) {
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
    bool copied = true;
    try {
        db.copyInto(aside);
    } catch (const StoreError&) {
        copied = false;
    }
    if (!copied) {
        ::unlink(aside.c_str());
        return found;
    }
    if (!db.rebuildIndexes()) {
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
    std::unique_ptr<Connection> opened;
    try {
        opened = openSqliteFile(path, SqliteFile::readWrite, kBusyTimeout);
    } catch (const StoreError& e) {
        throw StoreError("无法打开数据库文件 " + shown + "：" + e.what());
    }
    Connection& db = *opened;
    if (readOnlyFile(db))
        throw StoreError("数据库文件 " + shown +
                         " 是只读的，服务器无法保存留言。请让运行服务器的用户可以写入它"
                         "（例如 chmod 600），再重试。");
    const bool full = how == DatabaseCheck::AtStart &&
                      static_cast<std::uintmax_t>(st.st_size) <= kFullCheckAtStart;
    FileCheck check = checkFile(db, full);
    if (full && check.ranThrough && indexesOnly(check.problems))
        check = mendIndexes(db, path, shown, check);
    std::string problem = check.problems.empty() ? "" : check.problems.front();
    if (check.notADatabase)
        throw StoreError("数据库文件 " + shown + " 不是本程序的数据库文件（" + check.reason +
                         "），服务器不会使用它。请确认 --state，或从 " + backups +
                         " 中的备份恢复（pelvoran-server restore）。");
    if (problem.empty() && check.corrupt)
        problem = check.reason;
    if (!problem.empty())
        throw StoreError("数据库文件 " + shown + " 已损坏（" + problem +
                         "），服务器不会使用它。请从 " + backups +
                         " 中的备份恢复（pelvoran-server restore），再重试。");
    if (!check.ranThrough)
        throw StoreError("无法检查数据库文件 " + shown + "：" + check.why);
    std::int64_t schema = 0;
    try {
        schema = fileSchemaVersion(db);
    } catch (const StoreError&) {
    }
    if (schema > knownSchemaVersion())
        throw StoreError(newerSchemaText("数据库文件 " + shown, schema));
}

} // namespace pelvoran::server
