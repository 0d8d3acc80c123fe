#include "server/store/health.h"

#include "server/store/database.h"
#include "server/support/error_text.h"
#include "server/support/state_files.h"

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
/// than a writer's kBusyTimeout, so that a monitor's question is answered
/// at once.
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
                               std::string database, const Clock& clock)
    : stateDir_(std::move(stateDir)), period_(period),
      database_(database.empty() ? databasePath(stateDir_) : std::move(database)), clock_(clock) {}

DatabaseHealth::~DatabaseHealth() = default;

HealthReport DatabaseHealth::report(const std::optional<std::string>& failedCommit) {
    Look now;
    {
        const std::unique_lock lock(looking_, std::try_to_lock);
        const auto at = clock_.now();
        // Not ours: another thread is looking, and the last answer is as
        // fresh. A clock set back looks again at once.
        if (lock.owns_lock() && (!looked_ || at - lookedAt_ >= period_ || at < lookedAt_)) {
            Look fresh = look();
            lookedAt_ = at;
            looked_ = true;
            const std::lock_guard last(lastMutex_);
            last_ = std::move(fresh);
        }
        const std::lock_guard last(lastMutex_);
        now = last_;
    }
    if (!now.unwritable.empty())
        return {false, "数据库现在无法写入，留言存不下：" + now.unwritable + "\n"};
    const std::string oneMachine = now.standbys && now.standbys->connected == 0
                                       ? "仅一台机器：" + onOneMachine(*now.standbys) + "\n"
                                       : "";
    if (failedCommit)
        return {false, "上一次保存留言失败（" + *failedCommit + "），之后还没有留言保存成功。\n" +
                           oneMachine};
    std::string text = "ok\n" + oneMachine;
    if (now.lowRoom)
        text += "空间不多：状态目录所在的文件系统只剩 " + std::to_string(*now.lowRoom / 1024) +
                " KiB，一条最长的留言约需 4 MiB。请腾出空间。\n";
    return {true, text};
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
        return l;
    }
    if (!postgres && ::faccessat(AT_FDCWD, database.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        const int error = errno;
        l.unwritable = "数据库文件 " + std::string(kDatabaseFile) + " 不可写（" +
                       systemErrorText(error) + "）";
        return l;
    }
    struct statvfs fs {};
    if (::statvfs(stateDir_.c_str(), &fs) == 0 &&
        std::uint64_t{fs.f_bavail} * fs.f_frsize < kRoomNeeded)
        l.lowRoom = std::uint64_t{fs.f_bavail} * fs.f_frsize;
    try {
        if (!db_)
            db_ = std::make_unique<Database>(database, kLookBusyTimeout);
        if (db_->canWrite()) {
            l.standbys = db_->synchronousStandbys();
            return l;
        }
        l.unwritable = "无法开始写事务（另一个连接一直占着数据库，或数据库出了问题）";
    } catch (const std::exception& e) {
        l.unwritable = std::string("无法打开数据库：") + e.what();
    }
    db_.reset();
    return l;
}

} // namespace pelvoran::server
