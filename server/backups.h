#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pelvoran::server {

class Database;

/// The directory of the state directory that holds its backups.
inline constexpr char kBackupsDir[] = "backups";

/// Syncs `fd` to the disk; throws std::runtime_error naming `shown`.
void syncFile(int fd, const std::string& shown);

/// Copies all of `from` (from its start) to `to`, a bounded buffer at a time;
/// throws std::runtime_error naming `shown` (what is written).
void copyAll(int from, int to, const std::string& shown);

/// Copies the database to `dir`/`name` as a file that is either whole or
/// absent: into a temporary file beside it, synced, then moved into place
/// without overwriting (false when `name` exists: nothing changed) and the
/// directory synced.
bool backupInto(Database& db, const std::string& dir, const std::string& name);

/// Keeps one backup a day in `stateDir`/backups, the last seven days. Its
/// own connection `db`: it never holds up the one that serves.
void dailyBackup(const std::string& stateDir, Database& db);

/// Keeps the daily backup on a thread and a connection of its own, so that
/// a backup never holds up the release's pick-up or the end on SIGTERM; a
/// backup under way when it is destroyed ends at once, its file removed.
class DailyBackups {
public:
    explicit DailyBackups(const std::string& stateDir);
    ~DailyBackups();
    DailyBackups(const DailyBackups&) = delete;
    DailyBackups& operator=(const DailyBackups&) = delete;

private:
    void run();

    const std::string stateDir_;
    std::unique_ptr<Database> db_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the rest is ready
};

} // namespace pelvoran::server
