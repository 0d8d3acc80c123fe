#include "server/admin_session.h"
#include "server/backups.h"
#include "server/command_line.h"
#include "server/command_support.h"
#include "server/comment_export.h"
#include "server/error_text.h"
#include "server/log.h"
#include "server/state_dir.h"
#include "server/store.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran::server {

namespace {

/// The files of a database beside its main file.
constexpr const char* kCompanions[] = {"-wal", "-shm", "-journal"};

void removeDatabaseFiles(int dir, const std::string& name) {
    ::unlinkat(dir, name.c_str(), 0);
    for (const char* suffix : kCompanions)
        ::unlinkat(dir, (name + suffix).c_str(), 0);
}

void renameOrThrow(int dir, const std::string& from, const std::string& to,
                   const std::string& shown) {
    if (::renameat(dir, from.c_str(), dir, to.c_str()) != 0)
        throw std::runtime_error("restore：无法移动 " + shown + "：" + systemErrorText(errno));
}

/// The replaced database's name in backups/: when it was replaced.
std::string replacedName() {
    char name[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(name, sizeof name, "replaced-%Y-%m-%d-%H%M%S.sqlite", &tm);
    return name;
}

/// As the state directory's owner, with the state locked: FILE (`source`)
/// checked in a copy of its own, then put in place of the database.
void restoreAsOwner(StateDir& state, int source, const std::string& file) {
    const Fd lock = lockState(state);
    if (lock.get() < 0)
        throw std::runtime_error("restore：服务器正在使用状态目录 " + state.shown +
                                 "，没有改动任何东西。请先停止它（软件包安装的服务：sudo "
                                 "systemctl stop pelvoran-server），恢复后再启动。");
    const int dir = state.fd.get();
    const std::string temp = ".restore-" + std::to_string(::getpid()) + ".sqlite";
    removeDatabaseFiles(dir, temp);
    struct Cleanup {
        int dir;
        const std::string& name;
        bool armed = true;
        ~Cleanup() {
            if (armed)
                removeDatabaseFiles(dir, name);
        }
    } cleanup{dir, temp};
    {
        const Fd copy(::openat(dir, temp.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (copy.get() < 0)
            throw std::runtime_error("restore：无法在状态目录 " + state.shown + " 中写入：" +
                                     systemErrorText(errno));
        copyAll(source, copy.get(), state.shown + "/" + temp);
        syncFile(copy.get(), state.shown + "/" + temp);
    }
    try {
        checkRestorable(state.path + "/" + temp, file);
    } catch (const StoreError& e) {
        throw UsageError{"restore：" + std::string(e.what()) + "。没有改动任何东西。", false};
    }

    // Numbers handed out since the backup are not handed out again.
    std::int64_t highest = 0;
    std::string unread;
    try {
        highest = Database(databasePath(state.path)).highestCommentNumber();
    } catch (const StoreError& e) {
        unread = e.what();
    }
    std::int64_t count = 0, newest = 0;
    std::optional<Release> release;
    {
        Database restored(state.path + "/" + temp);
        restored.keepNumbersAbove(highest);
        // The sessions of the backup's day open nothing either.
        restored.endAllSessions();
        highest = restored.highestCommentNumber();
        std::tie(count, newest) = restored.commentCountAndNewest();
        release = restored.release();
        // The backup's own log goes on, saying what came back.
        restored.appendAudit("恢复", "从备份 " + file + " 恢复了状态目录 " + state.shown,
                             kByCommandLine);
    } // the last connection: the copy is whole in its main file
    if (::mkdirat(dir, kBackupsDir, 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("restore：无法创建 " + state.shown + "/" + kBackupsDir + "：" +
                                 systemErrorText(errno));
    // The replaced database, with its write-ahead log, exactly as it was.
    std::string kept = std::string(kBackupsDir) + "/" + replacedName();
    for (int n = 2; ::faccessat(dir, kept.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0; ++n)
        kept = std::string(kBackupsDir) + "/" + replacedName().insert(26, "-" + std::to_string(n));
    renameOrThrow(dir, kDatabaseFile, kept, databasePath(state.shown));
    const std::string wal = std::string(kDatabaseFile) + "-wal";
    if (::faccessat(dir, wal.c_str(), F_OK, 0) == 0)
        renameOrThrow(dir, wal, kept + "-wal", databasePath(state.shown) + "-wal");
    for (const char* suffix : {"-shm", "-journal"})
        ::unlinkat(dir, (std::string(kDatabaseFile) + suffix).c_str(), 0);
    if (::renameat(dir, temp.c_str(), dir, kDatabaseFile) != 0) {
        const int error = errno;
        // The state as it was, rather than none.
        ::renameat(dir, kept.c_str(), dir, kDatabaseFile);
        ::renameat(dir, (kept + "-wal").c_str(), dir, wal.c_str());
        throw std::runtime_error("restore：无法把备份移到 " + databasePath(state.shown) + "：" +
                                 systemErrorText(error));
    }
    cleanup.armed = false;
    removeDatabaseFiles(dir, temp);
    const Fd opened(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0)
        throw std::runtime_error("restore：无法打开 " + state.shown + "：" +
                                 systemErrorText(errno));
    syncFile(opened.get(), state.shown);
    // Every admin session ends: the admin address of before opens none.
    ::unlinkat(dir, kAdminTokenFile, 0);

    logError("已从 " + file + " 恢复状态目录 " + state.shown + "，管理页面的登录已全部结束");
    say(stdout, "已从 " + file + " 恢复状态目录 " + state.shown + "：");
    say(stdout, "  留言：" + std::to_string(count) + " 条" +
                    (count > 0 ? "，最新一条收到于 " + localTimeText(newest) : "") +
                    "。备份之后收到的留言不在其中，它们留在被替换的数据库里。");
    say(stdout, release ? "  发布的版本：" + toUtf8(release->version) +
                              "（备份时发布的版本）。服务启动后，更新检查按它答复。"
                        : "  备份中没有发布的版本：服务启动后，工具不会提示更新。");
    say(stdout, "  留言编号从 #" + std::to_string(highest + 1) + " 起，不会重用已经用过的编号。");
    if (!unread.empty())
        say(stdout, "  （被替换的数据库读不出已用过的编号：" + unread + "）");
    say(stdout, "  被替换的数据库保存为 " + state.shown + "/" + kept + "。");
    say(stdout, "  管理页面的登录已全部结束，原来的管理地址不再有效：服务启动后用 "
                "pelvoran-server admin-url 取新地址。");
    say(stdout, "现在可以启动服务：sudo systemctl start pelvoran-server");
}

} // namespace

/// `restore FILE [--state DIR]`: puts a backup in place of the database.
int restoreCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state"});
    if (p.words.size() < 2)
        throw UsageError{"restore 需要备份文件名"};
    expectWords(p, 2);
    const std::string file = p.words[1];
    // Read with the caller's rights: a backup may be theirs alone.
    const Fd source(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0)
        throw UsageError{"restore：无法读取 " + file + "：" + systemErrorText(errno), false};
    struct stat st {};
    if (::fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw UsageError{"restore：" + file + " 不是文件", false};
    StateDir state = findState(p, false);
    if (::faccessat(AT_FDCWD, state.path.c_str(), W_OK | X_OK, AT_EACCESS) != 0 &&
        !state.actAsOwner)
        throw std::runtime_error("restore：状态目录 " + state.shown + " 不可写：" +
                                 systemErrorText(errno));
    return asStateOwner(state, [&] { restoreAsOwner(state, source.get(), file); });
}

} // namespace pelvoran::server
