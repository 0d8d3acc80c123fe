#include "server/cli/state_dir.h"

#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/state_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace pelvoran::server {

namespace fs = std::filesystem;

namespace {

/// A user's name for messages; the number when the system knows no name.
std::string userName(uid_t uid) {
    const passwd* user = ::getpwuid(uid);
    return user != nullptr ? user->pw_name : "uid " + std::to_string(uid);
}

/// A user as the system knows it, copied out of getpwnam's buffer.
struct User {
    std::string name;
    uid_t uid;
    gid_t gid;
};

std::optional<User> serviceUser() {
    const passwd* user = ::getpwnam(kServiceUser);
    if (user == nullptr)
        return std::nullopt;
    return User{user->pw_name, user->pw_uid, user->pw_gid};
}

/// The owner of a state directory, by its ids (a uid the system has no name
/// for has no groups but `gid`).
User ownerOf(const StateDir& s) {
    const passwd* user = ::getpwuid(s.owner);
    return User{user != nullptr ? user->pw_name : "uid " + std::to_string(s.owner), s.owner,
                s.group};
}

/// The first directory above `dir` (a real path) that `user` may not pass,
/// asked of the kernel as that user in a process of its own (its groups,
/// access control lists and all); empty when it reaches `dir`.
std::string closedParent(const std::string& dir, const User& user) {
    std::vector<std::string> parents;
    for (std::size_t slash = dir.find('/'); slash != std::string::npos && slash + 1 < dir.size();
         slash = dir.find('/', slash + 1))
        parents.push_back(slash == 0 ? "/" : dir.substr(0, slash));
    int count = 16;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0)
        groups.resize(static_cast<std::size_t>(count));
    groups.resize(static_cast<std::size_t>(count));
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("无法创建进程：" + systemErrorText(errno));
    if (pid == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(user.gid) != 0 ||
            ::setuid(user.uid) != 0)
            ::_exit(255);
        for (std::size_t i = 0; i < parents.size(); ++i)
            if (::access(parents[i].c_str(), X_OK) != 0)
                ::_exit(static_cast<int>(std::min<std::size_t>(i + 1, 254)));
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("无法等待进程：" + systemErrorText(errno));
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255)
        throw std::runtime_error("无法以用户 " + user.name + " 的身份检查能否进入 " + dir);
    const auto closed = static_cast<std::size_t>(WEXITSTATUS(status));
    return closed == 0 ? std::string() : parents[std::min(closed, parents.size()) - 1];
}

/// A state directory root has just made becomes the package's system user's
/// (when there is one), so that serve runs as that user and not as root;
/// but only where that user can reach it. The directory above it that keeps
/// the user out, when that keeps it root's.
std::string giveToServiceUser(const StateDir& s, struct stat& st) {
    if (::geteuid() != 0)
        return {};
    const std::optional<User> user = serviceUser();
    if (!user)
        return {};
    if (std::string closed = closedParent(s.shown, *user); !closed.empty())
        return closed;
    if (::fchownat(s.fd.get(), "", user->uid, user->gid, AT_EMPTY_PATH) != 0 ||
        ::fstat(s.fd.get(), &st) != 0)
        throw std::runtime_error("无法把新建的状态目录 " + s.shown + " 交给用户 " + kServiceUser +
                                 "：" + systemErrorText(errno));
    return {};
}

} // namespace

namespace {

/// Whether the directory `dir` holds no entry at all.
bool emptyDirectory(int dir) {
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* entries = ::fdopendir(fd);
    if (entries == nullptr) {
        ::close(fd);
        return false;
    }
    bool empty = true;
    while (const dirent* e = ::readdir(entries))
        if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
            empty = false;
    ::closedir(entries);
    return empty;
}

} // namespace

StateDir findState(const Parsed& p, StateUse use) {
    const bool create = use != StateUse::Existing;
    const std::string dir = optionOr(p, "--state", kDefaultState);
    struct stat st {};
    bool created = false;
    if (::stat(dir.c_str(), &st) != 0) {
        const int error = errno;
        if (error != ENOENT)
            throw std::runtime_error("--state：无法进入状态目录 " + dir + "：" +
                                     systemErrorText(error));
        if (!create && !p.options.contains("--state"))
            throw UsageError{"--state：默认的状态目录 " + dir +
                                 " 不存在：这台机器上没有安装并启动过 pelvoran-server 服务。"
                                 "请用 --state 写出 serve 所用的状态目录。",
                             false};
        if (!create)
            throw UsageError{"--state：状态目录 " + dir +
                                 " 不存在。是否把 --state 写错了？状态目录只由 serve "
                                 "创建；软件包安装的服务器用 " +
                                 std::string(kDefaultState) + "，不必写 --state。",
                             false};
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec)
            throw std::runtime_error("--state：无法创建目录 " + dir + "：" +
                                     systemErrorText(ec.value()));
        ::chmod(dir.c_str(), 0700);
        created = true;
    }
    StateDir s;
    s.path = dir;
    s.fd = Fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (s.fd.get() < 0) {
        if (errno == ENOTDIR)
            throw UsageError{"--state：" + dir + " 不是目录。是否把 --state 写错了？", false};
        throw std::runtime_error("--state：无法打开目录 " + dir + "：" + systemErrorText(errno));
    }
    if (::fstat(s.fd.get(), &st) != 0)
        throw std::runtime_error("--state：" + dir + "：" + systemErrorText(errno));
    if (char* real = ::realpath(dir.c_str(), nullptr)) {
        s.shown = real;
        std::free(real);
    } else {
        std::error_code ec;
        s.shown = fs::absolute(dir, ec).lexically_normal().string();
    }
    if (created) {
        const std::string closed = giveToServiceUser(s, st);
        // A mistyped --state starts a server on an empty state: the
        // publisher hears it before any comment goes there.
        const std::string owner =
            (st.st_uid == 0 ? std::string(" root") : "用户 " + userName(st.st_uid)) +
            (closed.empty() ? std::string()
                            : "：用户 " + std::string(kServiceUser) + " 进不了目录 " + closed +
                                  "，没有交给它");
        say(stderr, use == StateUse::Restore
                        ? "pelvoran-server: 新建了状态目录 " + s.shown + "（属于" + owner +
                              "），备份恢复到这里。"
                        : "pelvoran-server: 新建了状态目录 " + s.shown + "（空的，属于" + owner +
                              "）。如果是 --state 写错了，原来的留言不在这里：请停止服务器，改正 "
                              "--state 后重新启动，再删掉这个目录。");
    }
    if (const Fd uri(::openat(s.fd.get(), kDatabaseUriFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        uri.get() >= 0) {
        char buffer[4096];
        const ssize_t n = ::read(uri.get(), buffer, sizeof buffer);
        if (n > 0)
            s.database.assign(buffer, static_cast<std::size_t>(n));
        while (!s.database.empty() && s.database.back() == '\n')
            s.database.pop_back();
    }
    if (const auto chosen = p.options.find("--database"); chosen != p.options.end()) {
        if (!isPostgresLocation(chosen->second))
            throw UsageError{"--database：须为 PostgreSQL 的连接串，以 postgresql:// 开头"};
        s.database = chosen->second;
    }
    if (use != StateUse::Serve && s.database.empty()) {
        struct stat db {};
        if (::fstatat(s.fd.get(), kDatabaseFile, &db, 0) != 0 &&
            !(use == StateUse::Restore && errno == ENOENT && emptyDirectory(s.fd.get()))) {
            if (errno != ENOENT)
                throw std::runtime_error("--state：无法读取状态目录 " + s.shown + "：" +
                                         systemErrorText(errno));
            throw UsageError{"--state：" + s.shown + " 中没有数据库 " + kDatabaseFile +
                                 "，不是服务器的状态目录。是否把 --state 写错了？状态目录只由 "
                                 "serve 创建；软件包安装的服务器用 " +
                                 std::string(kDefaultState) + "，不必写 --state。",
                             false};
        }
    }
    // Run by root against a state directory that belongs to someone else (the
    // packaged service's user), a command acts as that user, so that no file
    // of the database is ever left owned by root.
    s.actAsOwner = ::geteuid() == 0 && st.st_uid != 0;
    s.owner = st.st_uid;
    s.group = st.st_gid;
    return s;
}

namespace {

/// A lock on the whole file, owned by the open file (not the process): a
/// second open in the same process conflicts too, a fork shares it, and it
/// ends when the last descriptor closes, crash or not.
struct flock wholeFile(short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    return l;
}

} // namespace

Fd lockState(const StateDir& s, bool shared) {
    Fd fd(::openat(s.fd.get(), kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        throw std::runtime_error("无法在状态目录 " + s.shown + " 中创建锁文件 " + kLockFile + "：" +
                                 systemErrorText(errno));
    struct flock l = wholeFile(shared ? F_RDLCK : F_WRLCK);
    if (::fcntl(fd.get(), F_OFD_SETLK, &l) == 0)
        return fd;
    if (errno == EAGAIN || errno == EACCES)
        return Fd();
    throw std::runtime_error("无法锁定状态目录 " + s.shown + "：" + systemErrorText(errno));
}

bool stateLocked(const StateDir& s) {
    const Fd fd(::openat(s.fd.get(), kLockFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        return false; // no serve ever ran here
    struct flock l = wholeFile(F_WRLCK);
    return ::fcntl(fd.get(), F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

/// Becomes the owner of the state directory, from inside it, when the
/// command must act as them. For good: see asStateOwner for work that needs
/// the caller's rights afterwards.
void actAsStateOwner(StateDir& s) {
    if (!s.actAsOwner)
        return;
    // The path may lead through directories only root may pass (systemd's
    // /var/lib/private); once inside, the owner needs only the directory.
    if (::fchdir(s.fd.get()) != 0)
        throw std::runtime_error(s.shown + "：" + systemErrorText(errno));
    if (::setgroups(0, nullptr) != 0 || ::setgid(s.group) != 0 || ::setuid(s.owner) != 0)
        throw std::runtime_error("无法切换到状态目录的所有者（uid " + std::to_string(s.owner) +
                                 "）：" + systemErrorText(errno));
    s.path = ".";
    s.actAsOwner = false;
}

/// Refuses a state directory the server could not keep comments in, before
/// anything is served or copied from it; `how` far its database is checked.
void checkState(const StateDir& s, DatabaseCheck how) {
    if (::faccessat(AT_FDCWD, s.path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        throw std::runtime_error("状态目录 " + s.shown + " 不可写：" + systemErrorText(errno) +
                                 "。请让运行服务器的用户可以写入这个目录，再重试。");
    if (s.database.empty())
        checkDatabase(databasePath(s.path), databasePath(s.shown), how);
}

/// The state directory, ready for a command that runs in this process.
StateDir enterState(const Parsed& p) {
    StateDir s = findState(p, StateUse::Existing);
    actAsStateOwner(s);
    checkState(s);
    return s;
}

StateDir prepareState(const Parsed& p, Fd& lock, bool shared) {
    StateDir s = findState(p, StateUse::Serve);
    s.database = optionOr(p, "--database", ""); // serve's own choice, not the last one's
    // Its owner would find its files by their full path (SQLite does), so it
    // must be able to pass every directory above it.
    if (s.actAsOwner) {
        const User owner = ownerOf(s);
        if (const std::string closed = closedParent(s.shown, owner); !closed.empty())
            throw std::runtime_error(
                "状态目录 " + s.shown + " 属于用户 " + owner.name + "，但该用户进不了目录 " +
                closed +
                "，服务器无法以它的身份使用其中的数据（serve "
                "以状态目录所有者的身份运行）。请把状态目录移到该用户能进入的位置；或者运行 "
                "sudo chown -R root: " +
                s.shown + "，让服务器以 root 身份运行。");
    }
    actAsStateOwner(s);
    if (::faccessat(AT_FDCWD, s.path.c_str(), W_OK | X_OK, AT_EACCESS) == 0) {
        lock = lockState(s, shared);
        if (lock.get() < 0 && shared)
            throw std::runtime_error("状态目录 " + s.shown +
                                     " 正被一个用 SQLite 文件的 pelvoran-server serve（或 restore）"
                                     "独占（它锁住了其中的 " +
                                     kLockFile + "）：请先停止它，或用 --state 指定另一个目录。");
        if (lock.get() < 0)
            throw std::runtime_error(
                "状态目录 " + s.shown + " 已有一个 pelvoran-server serve 在使用（它锁住了其中的 " +
                kLockFile +
                "）：同一个状态目录只能运行一个服务器。请先停止那个服务器，或用 --state "
                "指定另一个目录。");
    }
    checkState(s, DatabaseCheck::AtStart);
    // Only a state directory of root's keeps serve root: the way out is to
    // give it to another user, one that can reach it.
    if (::geteuid() == 0) {
        const std::optional<User> user = serviceUser();
        const std::string closed = user ? closedParent(s.shown, *user) : std::string();
        const std::string warning = "pelvoran-server: 警告：状态目录 " + s.shown +
                                    " 属于 root，服务器因此以 root 身份运行（serve "
                                    "以状态目录所有者的身份运行）。";
        if (!closed.empty())
            say(stderr, warning + "用户 " + kServiceUser + " 进不了目录 " + closed +
                            "，不能接手它：要让服务器以用户 " + kServiceUser +
                            " 的身份运行，请停止服务器，把状态目录移到该用户能进入的位置（例如 "
                            "/var/lib 之下），运行 sudo chown -R " +
                            kServiceUser + ": 新的目录，再用 --state 新的目录 启动。");
        else
            say(stderr,
                warning + "请停止服务器，" +
                    (user ? std::string()
                          : "建一个不能登录的系统用户（sudo adduser --system --group --home " +
                                s.shown + " --no-create-home " + kServiceUser + "），") +
                    "运行 sudo chown -R " + kServiceUser + ": " + s.shown +
                    "，再启动：它就以用户 " + kServiceUser + " 的身份运行。");
    }
    return s;
}

std::unique_ptr<Database> openDatabase(const StateDir& s) {
    if (!s.database.empty()) {
        try {
            return std::make_unique<Database>(s.database);
        } catch (const StoreError& e) {
            throw std::runtime_error("无法打开状态目录 " + s.shown + " 的服务器所用的数据库 " +
                                     shownLocation(s.database) + "：" + e.what());
        }
    }
    try {
        return std::make_unique<Database>(databasePath(s.path));
    } catch (const StoreError& e) {
        throw std::runtime_error("无法打开数据库文件 " + databasePath(s.shown) + "：" + e.what());
    }
}

/// Runs `work` as the state directory's owner. When that means a change of
/// user, it runs in a process of its own, so that this one keeps the
/// caller's rights for what follows; it reports its own failures there. The
/// exit status of `work`.
int asStateOwner(StateDir& s, const std::function<void()>& work) {
    if (!s.actAsOwner) {
        work();
        return kExitOk;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("无法创建进程：" + systemErrorText(errno));
    if (pid == 0) {
        const int status = reported([&] {
            actAsStateOwner(s);
            work();
            return kExitOk;
        });
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("无法等待进程：" + systemErrorText(errno));
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    say(stderr, "pelvoran-server: 以状态目录所有者身份运行的进程异常结束（信号 " +
                    std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0) + "）");
    return kExitFailure;
}

} // namespace pelvoran::server
