#include "server/cli/state_dir.h"

#include "server/cli/cli_texts.h"
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
        throw std::runtime_error(cli_text::cannotFork(systemErrorText(errno)));
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
            throw std::runtime_error(cli_text::cannotWait(systemErrorText(errno)));
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255)
        throw std::runtime_error(cli_text::cannotCheckAccess(user.name, dir));
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
        throw std::runtime_error(
            cli_text::cannotGiveState(s.shown, kServiceUser, systemErrorText(errno)));
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
            throw std::runtime_error(cli_text::cannotEnterState(dir, systemErrorText(error)));
        if (!create && !p.options.contains("--state"))
            throw UsageError{cli_text::noDefaultState(dir), false};
        if (!create)
            throw UsageError{cli_text::noSuchState(dir, kDefaultState), false};
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec)
            throw std::runtime_error(cli_text::cannotCreateState(dir, systemErrorText(ec.value())));
        ::chmod(dir.c_str(), 0700);
        created = true;
    }
    StateDir s;
    s.path = dir;
    s.fd = Fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (s.fd.get() < 0) {
        if (errno == ENOTDIR)
            throw UsageError{cli_text::stateNotDirectory(dir), false};
        throw std::runtime_error(cli_text::cannotOpenState(dir, systemErrorText(errno)));
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
            (st.st_uid == 0 ? std::string(cli_text::kOwnedByRoot)
                            : cli_text::ownedByUser(userName(st.st_uid))) +
            (closed.empty() ? std::string()
                            : cli_text::notGivenToServiceUser(kServiceUser, closed));
        say(stderr, use == StateUse::Restore ? cli_text::stateCreatedForRestore(s.shown, owner)
                                             : cli_text::stateCreatedEmpty(s.shown, owner));
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
            throw UsageError{cli_text::kDatabaseNotPostgres};
        s.database = chosen->second;
    }
    if (use != StateUse::Serve && s.database.empty()) {
        struct stat db {};
        if (::fstatat(s.fd.get(), kDatabaseFile, &db, 0) != 0 &&
            !(use == StateUse::Restore && errno == ENOENT && emptyDirectory(s.fd.get()))) {
            if (errno != ENOENT)
                throw std::runtime_error(
                    cli_text::cannotReadStateDir(s.shown, systemErrorText(errno)));
            throw UsageError{cli_text::notStateDir(s.shown, kDatabaseFile, kDefaultState), false};
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
        throw std::runtime_error(
            cli_text::cannotCreateLock(s.shown, kLockFile, systemErrorText(errno)));
    struct flock l = wholeFile(shared ? F_RDLCK : F_WRLCK);
    if (::fcntl(fd.get(), F_OFD_SETLK, &l) == 0)
        return fd;
    if (errno == EAGAIN || errno == EACCES)
        return Fd();
    throw std::runtime_error(cli_text::cannotLockState(s.shown, systemErrorText(errno)));
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
        throw std::runtime_error(
            cli_text::cannotActAsOwner(std::to_string(s.owner), systemErrorText(errno)));
    s.path = ".";
    s.actAsOwner = false;
}

/// Refuses a state directory the server could not keep comments in, before
/// anything is served or copied from it; `how` far its database is checked.
void checkState(const StateDir& s, DatabaseCheck how) {
    if (::faccessat(AT_FDCWD, s.path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        throw std::runtime_error(cli_text::stateNotWritable(s.shown, systemErrorText(errno)));
    if (s.database.empty()) {
        try {
            checkDatabase(databasePath(s.path), databasePath(s.shown), how);
        } catch (const DatabaseFileRefused& e) {
            throw std::runtime_error(cli_text::databaseFileRefused(e));
        }
    }
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
            throw std::runtime_error(cli_text::ownerCannotEnter(s.shown, owner.name, closed));
    }
    actAsStateOwner(s);
    if (::faccessat(AT_FDCWD, s.path.c_str(), W_OK | X_OK, AT_EACCESS) == 0) {
        lock = lockState(s, shared);
        if (lock.get() < 0 && shared)
            throw std::runtime_error(cli_text::stateHeldBySqliteServer(s.shown, kLockFile));
        if (lock.get() < 0)
            throw std::runtime_error(cli_text::stateHeldByServer(s.shown, kLockFile));
    }
    checkState(s, DatabaseCheck::AtStart);
    // Only a state directory of root's keeps serve root: the way out is to
    // give it to another user, one that can reach it.
    if (::geteuid() == 0) {
        const std::optional<User> user = serviceUser();
        const std::string closed = user ? closedParent(s.shown, *user) : std::string();
        const std::string warning = cli_text::rootStateWarning(s.shown);
        if (!closed.empty())
            say(stderr, warning + cli_text::serviceUserCannotEnter(kServiceUser, closed));
        else
            say(stderr, warning + cli_text::howToGiveToServiceUser(s.shown, kServiceUser,
                                                                   user.has_value()));
    }
    return s;
}

std::unique_ptr<Database> openDatabase(const StateDir& s) {
    if (!s.database.empty()) {
        const auto cannotOpen = [&](const std::string& why) {
            return std::runtime_error(
                cli_text::cannotOpenStateDatabase(s.shown, shownLocation(s.database), why));
        };
        try {
            return std::make_unique<Database>(s.database);
        } catch (const LocationRefused& e) {
            throw cannotOpen(cli_text::locationRefused(e));
        } catch (const StoreError& e) {
            throw cannotOpen(e.what());
        }
    }
    try {
        return std::make_unique<Database>(databasePath(s.path));
    } catch (const StoreError& e) {
        throw std::runtime_error(cli_text::cannotOpenDatabaseFile(databasePath(s.shown), e.what()));
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
        throw std::runtime_error(cli_text::cannotFork(systemErrorText(errno)));
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
            throw std::runtime_error(cli_text::cannotWait(systemErrorText(errno)));
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    say(stderr, cli_text::ownerProcessDied(WIFSIGNALED(status) ? WTERMSIG(status) : 0));
    return kExitFailure;
}

} // namespace pelvoran::server
