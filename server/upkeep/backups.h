#pragma once

#include "server/store/store.h"
#include "server/support/clock.h"
#include "server/support/worker.h"
#include "server/upkeep/database_checks.h"
#include "server/upkeep/store_restore.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

/// The files of the state directory `stateDir` that a backup carries beside
/// the database, with their modes: the signing key's halves, the answer key
/// and the monitor's token. Not the admin token (a restore ends every admin
/// session), the lock, the admin address or backups/. Throws
/// std::runtime_error when one is there but cannot be read.
std::vector<StateFile> carriedFiles(const std::string& stateDir);

/// The answer key (stateAnswerKey) every server on the database `db` signs
/// with: the first one stored there, written into this state directory as
/// well (on SQLite, the state directory's own). Made when there is none.
/// Throws std::runtime_error or StoreError.
std::string sharedAnswerKey(const std::string& stateDir, Database& db);

/// Copies the database, and the files of `stateDir` a backup carries, to
/// `dir`/`name` as a file that is either whole or absent: into a temporary
/// file beside it, synced, then moved into place without overwriting (false
/// when `name` exists: nothing changed) and the directory synced.
bool backupInto(Database& db, const std::string& dir, const std::string& name,
                const std::string& stateDir);

/// The name in backups/ of the daily backup of `now`'s day (UTC).
std::string dailyBackupName(Clock::TimePoint now);

/// Sets the daily backup of `now`'s day in `stateDir`/backups aside as
/// before-restore-<local date>-<time>.sqlite, a name the rotation leaves
/// alone, so that the daily job makes that day's backup again: after a
/// restore, of the restored data. The name it got under backups/, or empty
/// when there was no such backup. Throws std::runtime_error.
std::string setAsideDailyBackup(const std::string& stateDir, Clock::TimePoint now);

/// Keeps one backup a day in `stateDir`/backups, the last seven days, each
/// made only once SQLite's full check finds the database whole (damage of
/// indexes alone is mended first, as at serve's start): a damaged copy never
/// pushes a whole one out, and the damage is thrown (DatabaseFileRefused,
/// Damaged, naming the backups' folder). Its own connection `db`: it never
/// holds up the one that serves. `now` names the day's file. On PostgreSQL
/// the day's claim decides (one server of the database makes it); the day's
/// file of a database a restore has since replaced, which gave the claim
/// back, is set aside first.
void dailyBackup(const std::string& stateDir, Database& db,
                 Clock::TimePoint now = Clock::system().now());

/// Keeps the daily backup on a thread and a connection of its own, so that
/// a backup never holds up the release's pick-up or the end on SIGTERM; a
/// backup under way when it is destroyed ends at once, its file removed.
/// It looks every 30 seconds whether `clock` has begun a new day (UTC).
class DailyBackups {
public:
    /// Says that the day's backup was not made for the damage found, as
    /// whoever started the backups words it for the log.
    using Damaged = std::function<void(const DatabaseFileRefused&)>;

    /// `database`: a PostgreSQL URI, or empty for the state directory's file.
    /// `damaged`: none logs what() of the refusal.
    explicit DailyBackups(const std::string& stateDir, const Clock& clock = Clock::system(),
                          const std::string& database = "", Damaged damaged = {});
    ~DailyBackups();
    DailyBackups(const DailyBackups&) = delete;
    DailyBackups& operator=(const DailyBackups&) = delete;

private:
    void run(Worker& self);

    const std::string stateDir_;
    const Clock& clock_;
    const Damaged damaged_;
    std::unique_ptr<Database> db_;
    Worker worker_; // last: starts once the rest is ready
};

} // namespace pelvoran::server
