#include "server/upkeep/health.h"

#include "server/engine/store_error.h"
#include "server/store/database.h"
#include "server/support/error_text.h"
#include "server/support/log.h"
#include "server/support/state_files.h"
#include "server/upkeep/upkeep_texts.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace pelvoran::server {
namespace {

/// The largest comment, with room for its write-ahead log's pages: with
/// less than this free, a long comment may fail.
constexpr std::uint64_t kRoomNeeded = 4 * 1024 * 1024;

/// How long a look waits for another connection's transaction: far less
/// than a writer's kBusyTimeout, so that a look ends soon.
constexpr std::chrono::milliseconds kLookBusyTimeout{200};

} // namespace

std::string onOneMachine(const SynchronousStandbys& s) {
    return upkeep_text::onOneMachine(s.names);
}

DatabaseHealth::DatabaseHealth(std::string stateDir, std::chrono::milliseconds period,
                               std::string database, const Clock& clock,
                               std::chrono::milliseconds busyTimeout)
    : stateDir_(std::move(stateDir)), period_(period),
      database_(database.empty() ? databasePath(stateDir_) : std::move(database)), clock_(clock),
      deadline_(storeDeadline(busyTimeout)) {}

DatabaseHealth::~DatabaseHealth() = default;

std::chrono::milliseconds DatabaseHealth::staleAfter() const {
    return 3 * period_ + deadline_ + kCancelAnswer;
}

void DatabaseHealth::startProbe() {
    probe_.emplace([this](Worker& self) {
        while (self.wait(period_))
            lookNow();
    });
}

void DatabaseHealth::lookNow() {
    const std::lock_guard lock(looking_);
    const Clock::TimePoint at = clock_.now();
    Look fresh = look();
    if (fresh.detail != logged_) {
        logError(fresh.detail.empty() ? std::string(upkeep_text::kWritableAgain)
                                      : upkeep_text::unwritable(fresh.detail));
        logged_ = fresh.detail;
    }
    const std::lock_guard last(lastMutex_);
    last_ = std::move(fresh);
    lookedAt_ = at;
}

HealthReport DatabaseHealth::report(const std::optional<std::string>& failedCommit) const {
    Look now;
    std::optional<Clock::TimePoint> at;
    {
        const std::lock_guard last(lastMutex_);
        now = last_;
        at = lookedAt_;
    }
    if (!at)
        return {false, upkeep_text::kNotCheckedYet};
    // A clock set back makes a look of the future: it is as fresh as can be.
    const auto age = std::max(clock_.now() - *at, Clock::TimePoint::duration::zero());
    const std::string when =
        upkeep_text::checkedAgo(std::chrono::floor<std::chrono::seconds>(age).count());
    if (age > staleAfter())
        return {false, upkeep_text::unwritable(upkeep_text::kNoAnswer) + "\n" + when};
    if (!now.unwritable.empty())
        return {false, upkeep_text::unwritable(now.unwritable) + "\n" + when};
    const std::string oneMachine = now.standbys && now.standbys->connected == 0
                                       ? upkeep_text::onOneMachineLine(onOneMachine(*now.standbys))
                                       : "";
    if (failedCommit)
        return {false, upkeep_text::lastCommitFailed(*failedCommit) + oneMachine + when};
    std::string text = "ok\n" + oneMachine;
    if (now.lowRoom)
        text += upkeep_text::lowRoom(*now.lowRoom / 1024);
    return {true, text + when};
}

DatabaseHealth::Look DatabaseHealth::look() {
    Look l;
    // An open connection keeps writing to a file whose mode changed; the
    // next one opened (the admin pages, a restart) would not.
    const std::string& database = database_;
    const bool postgres = isPostgresLocation(database);
    if (::faccessat(AT_FDCWD, stateDir_.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        const int error = errno;
        l.unwritable = upkeep_text::stateDirUnwritable(systemErrorText(error));
        l.detail = l.unwritable;
        return l;
    }
    if (!postgres && ::faccessat(AT_FDCWD, database.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        const int error = errno;
        l.unwritable = upkeep_text::databaseFileUnwritable(kDatabaseFile, systemErrorText(error));
        l.detail = l.unwritable;
        return l;
    }
    struct statvfs fs {};
    if (::statvfs(stateDir_.c_str(), &fs) == 0 &&
        std::uint64_t{fs.f_bavail} * fs.f_frsize < kRoomNeeded)
        l.lowRoom = std::uint64_t{fs.f_bavail} * fs.f_frsize;
    // Within the deadline a comment's transaction has: a look that could
    // not have stored a comment in time says so.
    const auto deadline = std::chrono::steady_clock::now() + deadline_;
    const char* step = upkeep_text::kCannotOpenDatabase;
    try {
        if (!db_)
            db_ = std::make_unique<Database>(database, kLookBusyTimeout, deadline);
        db_->setDeadline(deadline);
        step = upkeep_text::kCannotBeginWrite;
        db_->tryWrite();
        step = upkeep_text::kCannotReadStandbys;
        l.standbys = db_->synchronousStandbys();
        db_->setDeadline(std::nullopt);
        return l;
    } catch (const StoreError& e) {
        l.unwritable = std::string(step) + "（" + e.said() + "）";
        l.detail = std::string(step) + "：" + e.what();
    } catch (const std::exception& e) {
        l.unwritable = std::string(step) + "（" + e.what() + "）";
        l.detail = l.unwritable;
    }
    // A PostgreSQL connection is made again by itself, and one being made
    // is taken up by the next look; a SQLite file is opened afresh.
    if (db_ && db_->mendsItself())
        db_->setDeadline(std::nullopt);
    else
        db_.reset();
    return l;
}

} // namespace pelvoran::server
