#include "server/upkeep/backups.h"

#include "server/engine/sqlite_support.h"
#include "server/release/release_signing.h"
#include "server/release/update_key.h"
#include "server/store/store.h"
#include "server/support/digest.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/files.h"
#include "server/support/log.h"
#include "server/support/state_files.h"
#include "server/upkeep/database_checks.h"
#include "server/upkeep/upkeep_texts.h"

#include "platform/hex.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <openssl/evp.h>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pelvoran::server {

namespace fs = std::filesystem;

std::vector<StateFile> carriedFiles(const std::string& stateDir) {
    // Keys and tokens are a few hundred bytes; anything larger is no file of ours.
    constexpr off_t kMaxBytes = 64 * 1024;
    std::vector<StateFile> files;
    for (const char* name :
         {kUpdatePublicKeyFile, kUpdatePrivateKeyFile, kAnswerKeyFile, kMetricsTokenFile}) {
        const std::string shown = stateDir + "/" + name;
        const Fd fd(::open(shown.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0 && errno == ENOENT)
            continue;
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
            throw std::runtime_error(upkeep_text::cannotRead(shown, systemErrorText(errno)));
        if (!S_ISREG(st.st_mode) || st.st_size > kMaxBytes)
            throw std::runtime_error(upkeep_text::notOurStateFile(shown));
        std::string data(static_cast<std::size_t>(st.st_size), '\0');
        if (::pread(fd.get(), data.data(), data.size(), 0) != st.st_size)
            throw std::runtime_error(upkeep_text::cannotRead(shown, systemErrorText(errno)));
        files.push_back({name, static_cast<unsigned>(st.st_mode & 07777), sha256Hex(data), data});
    }
    return files;
}

std::string sharedAnswerKey(const std::string& stateDir, Database& db) {
    const std::string own = stateAnswerKey(stateDir);
    const std::string shared = db.peers().shareFile(kAnswerKeyFile, own, 0600);
    if (shared != own) {
        publicKeyOf(shared); // throws for no key of ours
        stateAnswerKey(stateDir, shared);
    }
    return shared;
}

bool backupInto(Database& db, const std::string& dir, const std::string& name,
                const std::string& stateDir) {
    const Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0)
        throw std::runtime_error(upkeep_text::cannotOpenDirectory(dir, systemErrorText(errno)));
    const std::string temp = "." + name + ".part";
    const std::string tempPath = dir + "/" + temp;
    const std::string shown = dir + "/" + name;
    const std::string journal = temp + "-journal";
    const auto removeTemp = [&] {
        ::unlinkat(dirFd.get(), temp.c_str(), 0);
        ::unlinkat(dirFd.get(), journal.c_str(), 0);
    };
    // What an interrupted backup left behind.
    removeTemp();
    try {
        db.copyInto(tempPath);
        addStateFiles(tempPath, carriedFiles(stateDir));
        const Fd out(::openat(dirFd.get(), temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (out.get() < 0)
            throw std::runtime_error(upkeep_text::cannotOpen(tempPath, systemErrorText(errno)));
        syncFile(out.get(), shown);
    } catch (const StoreError& e) {
        removeTemp();
        throw std::runtime_error(upkeep_text::cannotWrite(shown, e.what()));
    } catch (...) {
        removeTemp();
        throw;
    }
    if (::renameat2(dirFd.get(), temp.c_str(), dirFd.get(), name.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        ::unlinkat(dirFd.get(), temp.c_str(), 0);
        if (error == EEXIST)
            return false;
        throw std::runtime_error(upkeep_text::cannotCreate(shown, systemErrorText(error)));
    }
    syncFile(dirFd.get(), dir);
    return true;
}

namespace {

/// The daily full check of the database that serves, before a backup of
/// it is made. Damage of indexes alone is mended as at serve's start; any
/// other is refused.
void wholeForBackup(const std::string& stateDir, Database& db, Clock::TimePoint now) {
    const auto problems = db.integrityProblems();
    if (problems.empty())
        return;
    const std::string shown = databasePath(stateDir);
    if (indexesOnly(problems)) {
        char name[64];
        const std::time_t at = std::chrono::system_clock::to_time_t(now);
        std::tm tm{};
        localtime_r(&at, &tm);
        std::strftime(name, sizeof name, kIndexDamagedName, &tm);
        const std::string aside = stateDir + "/" + kBackupsDir + "/" + name;
        db.copyInto(aside);
        if (db.rebuildIndexes()) {
            logError(upkeep_text::dailyIndexesMended(shown, problems.front(), aside));
            return;
        }
        ::unlink(aside.c_str());
    }
    throw DatabaseFileRefused(DatabaseFileRefused::Kind::Damaged,
                              upkeep_text::dailyDamaged(shown, problems.front()), shown,
                              stateDir + "/" + kBackupsDir, problems.front());
}

} // namespace

std::string dailyBackupName(Clock::TimePoint now) {
    char name[64];
    const std::time_t at = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&at, &tm);
    std::strftime(name, sizeof name, "comments-%Y-%m-%d.sqlite", &tm);
    return name;
}

std::string setAsideDailyBackup(const std::string& stateDir, Clock::TimePoint now) {
    const std::string dir = stateDir + "/" + kBackupsDir;
    const std::string name = dailyBackupName(now);
    const Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0 && errno == ENOENT)
        return "";
    if (dirFd.get() < 0)
        throw std::runtime_error(upkeep_text::cannotOpenDirectory(dir, systemErrorText(errno)));
    char stamp[32];
    const std::time_t at = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&at, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &tm);
    for (int n = 1;; ++n) {
        const std::string aside = std::string("before-restore-") + stamp +
                                  (n > 1 ? "-" + std::to_string(n) : "") + ".sqlite";
        if (::renameat2(dirFd.get(), name.c_str(), dirFd.get(), aside.c_str(), RENAME_NOREPLACE) ==
            0) {
            syncFile(dirFd.get(), dir);
            return std::string(kBackupsDir) + "/" + aside;
        }
        if (errno == ENOENT)
            return "";
        if (errno != EEXIST)
            throw std::runtime_error(
                upkeep_text::cannotMove(dir + "/" + name, systemErrorText(errno)));
    }
}

void dailyBackup(const std::string& stateDir, Database& db, Clock::TimePoint now) {
    constexpr std::size_t kKeep = 7;
    const fs::path dir = fs::path(stateDir) / kBackupsDir;
    const std::string name = dailyBackupName(now);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error(
            upkeep_text::cannotCreateDirectory(dir.string(), systemErrorText(errno)));
    struct stat st {};
    const bool made = ::stat((dir / name).c_str(), &st) == 0;
    // On SQLite the day's file says it is done (a restore sets it aside);
    // on PostgreSQL the claim does, and a restore gives it back.
    if (!db.peers().claimDailyBackup(std::chrono::floor<std::chrono::days>(now), made))
        return;
    if (made)
        setAsideDailyBackup(stateDir, now);
    wholeForBackup(stateDir, db, now);
    if (!backupInto(db, dir.string(), name, stateDir))
        return;
    // Only the daily ones are rotated: a database a restore replaced stays.
    std::vector<fs::path> backups;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with("comments-") && file.ends_with(".sqlite"))
            backups.push_back(entry.path());
    }
    std::sort(backups.begin(), backups.end());
    std::error_code ec;
    for (std::size_t i = 0; i + kKeep < backups.size(); ++i)
        fs::remove(backups[i], ec);
}

DailyBackups::DailyBackups(const std::string& stateDir, const Clock& clock,
                           const std::string& database, Damaged damaged)
    : stateDir_(stateDir), clock_(clock), damaged_(std::move(damaged)),
      db_(std::make_unique<Database>(database.empty() ? databasePath(stateDir) : database)),
      worker_([this](Worker& self) { run(self); }) {}

DailyBackups::~DailyBackups() {
    worker_.stop();
    db_->interrupt(); // the backup under way, if any
}

void DailyBackups::run(Worker& self) {
    std::optional<std::chrono::sys_days> backedUp;
    while (!self.stopping()) {
        const Clock::TimePoint now = clock_.now();
        if (const auto day = std::chrono::floor<std::chrono::days>(now); day != backedUp) {
            backedUp = day; // once a day, whether it works or not
            try {
                dailyBackup(stateDir_, *db_, now);
            } catch (const DatabaseFileRefused& e) {
                if (damaged_)
                    damaged_(e);
                else
                    logError(e.what());
            } catch (const std::exception& e) {
                logError(upkeep_text::dailyBackupFailed(e.what()));
            }
        }
        self.wait(std::chrono::seconds(30));
    }
}

} // namespace pelvoran::server
