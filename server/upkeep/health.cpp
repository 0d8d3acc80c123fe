#include "server/upkeep/health.h"

#include "server/engine/store_error.h"
#include "server/store/database.h"
#include "server/support/error_text.h"
#include "server/support/log.h"
#include "server/support/state_files.h"

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
    return s.names.empty()
               ? "PostgreSQL 没有设置同步备机（synchronous_standby_names 为空），留言只保存在"
                 "一台机器上，这台机器的磁盘坏了就会丢失。"
               : "同步备机（" + s.names +
                     "）没有连接，或服务器的数据库用户没有 pg_monitor 角色而看不到它：留言提交时"
                     "会一直等它，直到写入留言的时限到了才答复失败。";
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
        logError(fresh.detail.empty() ? "数据库又可以写入了，留言可以保存"
                                      : "数据库现在无法写入，留言存不下：" + fresh.detail);
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
        return {false, "还没有检查过数据库。\n"};
    // A clock set back makes a look of the future: it is as fresh as can be.
    const auto age = std::max(clock_.now() - *at, Clock::TimePoint::duration::zero());
    const std::string when = "（" +
                             std::to_string(std::chrono::floor<std::chrono::seconds>(age).count()) +
                             " 秒前检查）\n";
    if (age > staleAfter())
        return {false,
                "数据库现在无法写入，留言存不下：数据库没有答复（检查一直没有结束）\n" + when};
    if (!now.unwritable.empty())
        return {false, "数据库现在无法写入，留言存不下：" + now.unwritable + "\n" + when};
    const std::string oneMachine = now.standbys && now.standbys->connected == 0
                                       ? "仅一台机器：" + onOneMachine(*now.standbys) + "\n"
                                       : "";
    if (failedCommit)
        return {false, "上一次保存留言失败（" + *failedCommit + "），之后还没有留言保存成功。\n" +
                           oneMachine + when};
    std::string text = "ok\n" + oneMachine;
    if (now.lowRoom)
        text += "空间不多：状态目录所在的文件系统只剩 " + std::to_string(*now.lowRoom / 1024) +
                " KiB，一条最长的留言约需 4 MiB。请腾出空间。\n";
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
        l.unwritable = "状态目录不可写（" + systemErrorText(error) + "）";
        l.detail = l.unwritable;
        return l;
    }
    if (!postgres && ::faccessat(AT_FDCWD, database.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        const int error = errno;
        l.unwritable = "数据库文件 " + std::string(kDatabaseFile) + " 不可写（" +
                       systemErrorText(error) + "）";
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
    const char* step = "无法打开数据库";
    try {
        if (!db_)
            db_ = std::make_unique<Database>(database, kLookBusyTimeout, deadline);
        db_->setDeadline(deadline);
        step = "无法开始写事务";
        db_->tryWrite();
        step = "无法读取同步备机的状态";
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
