#include "server/upkeep/database_checks.h"

#include "server/engine/sqlite_file.h"
#include "server/engine/transaction.h"
#include "server/store/database.h"
#include "server/support/error_text.h"
#include "server/support/log.h"
#include "server/upkeep/upkeep_texts.h"

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
    logError(upkeep_text::indexesMended(shown, found.problems.front(), shownAside));
    return {};
}

} // namespace

void checkDatabase(const std::string& path, const std::string& shown, DatabaseCheck how) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return;
    const std::string backups = (std::filesystem::path(shown).parent_path() / "backups").string();
    if (st.st_size == 0)
        throw DatabaseFileRefused(DatabaseFileRefused::Kind::Empty,
                                  upkeep_text::emptyDatabaseFile(shown), shown, backups);
    keepPrivate(path);
    std::unique_ptr<Connection> opened;
    try {
        opened = openSqliteFile(path, SqliteFile::readWrite, kBusyTimeout);
    } catch (const StoreError& e) {
        throw DatabaseFileRefused(DatabaseFileRefused::Kind::CannotOpen,
                                  upkeep_text::cannotOpenDatabaseFile(shown, e.what()), shown,
                                  backups, e.what());
    }
    Connection& db = *opened;
    if (readOnlyFile(db))
        throw DatabaseFileRefused(DatabaseFileRefused::Kind::ReadOnly,
                                  upkeep_text::readOnlyDatabaseFile(shown), shown, backups);
    const bool full = how == DatabaseCheck::AtStart &&
                      static_cast<std::uintmax_t>(st.st_size) <= kFullCheckAtStart;
    FileCheck check = checkFile(db, full);
    if (full && check.ranThrough && indexesOnly(check.problems))
        check = mendIndexes(db, path, shown, check);
    std::string problem = check.problems.empty() ? "" : check.problems.front();
    if (check.notADatabase)
        throw DatabaseFileRefused(DatabaseFileRefused::Kind::NotOurs,
                                  upkeep_text::notOurDatabaseFile(shown, check.reason), shown,
                                  backups, check.reason);
    if (problem.empty() && check.corrupt)
        problem = check.reason;
    if (!problem.empty())
        throw DatabaseFileRefused(DatabaseFileRefused::Kind::Damaged,
                                  upkeep_text::damagedDatabaseFile(shown, problem), shown, backups,
                                  problem);
    if (!check.ranThrough)
        throw DatabaseFileRefused(DatabaseFileRefused::Kind::CannotCheck,
                                  upkeep_text::cannotCheckDatabaseFile(shown, check.why), shown,
                                  backups, check.why);
    std::int64_t schema = 0;
    try {
        schema = fileSchemaVersion(db);
    } catch (const StoreError&) {
    }
    if (schema > knownSchemaVersion())
        throw StoreError(newerSchemaText(upkeep_text::databaseFileNamed(shown), schema));
}

} // namespace pelvoran::server
