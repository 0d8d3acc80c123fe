#include "server/state_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>

namespace pelvoran::server {

namespace fs = std::filesystem;

/// Finds the state directory named by --state, creating it (only its owner
/// may enter it) when `create` and it does not exist yet.
StateDir findState(const Parsed& p, bool create) {
    const std::string dir = optionOr(p, "--state", kDefaultState);
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        if (!create)
            throw UsageError{"--state：" + dir + " 不存在，请写出状态目录的路径", false};
        fs::create_directories(dir, ec);
        if (ec)
            throw std::runtime_error("--state：无法创建目录 " + dir + "：" + ec.message());
        ::chmod(dir.c_str(), 0700);
    }
    StateDir s;
    s.path = dir;
    s.fd = Fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (s.fd.get() < 0) {
        if (errno == ENOTDIR)
            throw UsageError{"--state：" + dir + " 不是目录"};
        throw std::runtime_error("--state：无法打开目录 " + dir + "：" + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(s.fd.get(), &st) != 0)
        throw std::runtime_error("--state：" + dir + "：" + std::strerror(errno));
    if (char* real = ::realpath(dir.c_str(), nullptr)) {
        s.shown = real;
        std::free(real);
    } else {
        s.shown = fs::absolute(dir, ec).lexically_normal().string();
    }
    // Run by root against a state directory that belongs to someone else (the
    // packaged service's user), a command acts as that user, so that no file
    // of the database is ever left owned by root.
    s.actAsOwner = ::geteuid() == 0 && st.st_uid != 0;
    s.owner = st.st_uid;
    s.group = st.st_gid;
    return s;
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
        throw std::runtime_error(s.shown + "：" + std::strerror(errno));
    if (::setgroups(0, nullptr) != 0 || ::setgid(s.group) != 0 || ::setuid(s.owner) != 0)
        throw std::runtime_error("无法切换到状态目录的所有者（uid " + std::to_string(s.owner) +
                                 "）：" + std::strerror(errno));
    s.path = ".";
    s.actAsOwner = false;
}

/// Refuses a state directory the server could not keep comments in, before
/// anything is served or copied from it.
void checkState(const StateDir& s) {
    if (::faccessat(AT_FDCWD, s.path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        throw std::runtime_error("状态目录 " + s.shown + " 不可写（" + std::strerror(errno) +
                                 "）：请让运行服务器的用户可以写入这个目录，再重试。");
    checkDatabase(databasePath(s.path), databasePath(s.shown));
}

/// The state directory, ready for a command that runs in this process.
StateDir enterState(const Parsed& p) {
    StateDir s = findState(p, true);
    actAsStateOwner(s);
    checkState(s);
    return s;
}

/// The directory to work with, checked; for serve.
std::string prepareState(const Parsed& p) {
    return enterState(p).path;
}

std::unique_ptr<Database> openDatabase(const StateDir& s) {
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
        throw std::runtime_error(std::string("无法创建进程：") + std::strerror(errno));
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
            throw std::runtime_error(std::string("无法等待进程：") + std::strerror(errno));
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    say(stderr, "pelvoran-server: 以状态目录所有者身份运行的进程异常结束（信号 " +
                    std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0) + "）");
    return kExitFailure;
}

} // namespace pelvoran::server
