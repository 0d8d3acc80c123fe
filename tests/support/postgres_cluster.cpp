#include "tests/support/postgres_cluster.h"
#include "tests/support/child_life.h"

#include <libpq-fe.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace pelvoran::test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kUser = "pelvoran";
constexpr const char* kStandbyName = "pelvoran_standby";
// The bound of each wait: pg_ctl's own, a statement's, the standby's turn to 'sync'.
constexpr int kStepSeconds = 60;
const char* const kPrograms[] = {"initdb", "pg_ctl", "postgres", "pg_basebackup"};

/// The numbers of a version folder's name ("15", "9.6"); empty when it is
/// not one.
std::vector<long> versionOf(const std::string& name) {
    std::vector<long> parts;
    std::size_t at = 0;
    while (at < name.size()) {
        const auto dot = std::min(name.find('.', at), name.size());
        const std::string part = name.substr(at, dot - at);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            return {};
        parts.push_back(std::strtol(part.c_str(), nullptr, 10));
        at = dot + 1;
    }
    return parts;
}

bool hasPrograms(const std::string& bin) {
    return std::all_of(std::begin(kPrograms), std::end(kPrograms), [&](const char* program) {
        return ::access((bin + "/" + program).c_str(), X_OK) == 0;
    });
}

/// The programs' folder of the newest PostgreSQL that has them all (a newer
/// client package alone brings pg_basebackup but no server), or empty.
std::string binFolder() {
    const std::string prefix = "/usr/lib/postgresql/", suffix = "/bin";
    glob_t found{};
    std::string best;
    std::vector<long> bestVersion;
    if (::glob((prefix + "*" + suffix).c_str(), 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            const std::string path = found.gl_pathv[i];
            const auto version =
                versionOf(path.substr(prefix.size(), path.size() - prefix.size() - suffix.size()));
            if (!version.empty() && (best.empty() || version > bestVersion) && hasPrograms(path)) {
                best = path;
                bestVersion = version;
            }
        }
    }
    ::globfree(&found);
    return best;
}

/// The ids of the `nobody` user, whom PostgreSQL's programs run as when the
/// tests run as root (they refuse root).
bool nobodyIds(uid_t& uid, gid_t& gid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r("nobody", &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    uid = found->pw_uid;
    gid = found->pw_gid;
    return true;
}

/// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort() {
    // Below the system's ephemeral range (32768 and up on Linux), where the
    // other tests' servers and receivers get their ports from the kernel: a
    // postmaster starting meanwhile never takes the one another test was
    // just given. Drawn at random, checked free; a taken one is drawn again.
    static std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> ports(20000, 32000);
    int error = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = ports(random);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::runtime_error(std::string("no socket: ") + std::strerror(errno));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool free =
            ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        error = errno;
        ::close(fd);
        if (free)
            return port;
    }
    throw std::runtime_error(std::string("no free loopback port in 20000-32000: ") +
                             std::strerror(error));
}

/// True when a connection to 127.0.0.1:`port` is refused: nothing listens.
bool refuses(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool refused =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno == ECONNREFUSED;
    ::close(fd);
    return refused;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The last `count` lines of the file at `path`.
std::string lastLines(const std::string& path, int count) {
    const std::string text = fileText(path);
    auto at = text.size();
    if (at > 0 && text[at - 1] == '\n')
        --at;
    for (int n = 0; n < count; ++n) {
        const auto newline = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
        if (newline == std::string::npos)
            return text;
        at = newline;
    }
    return text.substr(at + 1);
}

milliseconds leftUntil(Clock::time_point deadline) {
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - Clock::now()));
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

void sendSignal(pid_t pid, int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
    if (pidfd >= 0 && ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0)
        return;
#endif
    ::kill(pid, signal);
}

/// The field after the command name in /proc/<pid>/stat: "S 1234 ..." (state,
/// parent); empty when there is no such process.
std::string statAfterName(pid_t pid) {
    const std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos ? std::string() : stat.substr(close + 2);
}

/// True once the process `pid`, ours or not, has ended (a zombie has).
bool ended(pid_t pid) {
    const std::string stat = statAfterName(pid);
    return stat.empty() || stat[0] == 'Z' || stat[0] == 'X';
}

/// Waits until the process `pid` (not necessarily a child of ours) has ended,
/// up to `deadline`; whether it has.
bool awaitEnd(pid_t pid, int pidfd, Clock::time_point deadline) {
    for (;;) {
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(leftUntil(deadline).count()));
            if (r > 0)
                return true;
            if (r == 0)
                return false;
            if (errno != EINTR)
                pidfd = -1; // no pidfd to wait on after all: look again and again
        } else {
            if (ended(pid))
                return true;
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(milliseconds(10)); // no pidfd (Linux < 5.3)
        }
    }
}

/// The processes whose parent is `pid`.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t child = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
        std::istringstream stat(statAfterName(child));
        std::string state;
        long parent = 0;
        if (stat >> state >> parent && parent == pid)
            children.push_back(child);
    }
    return children;
}

/// The postmaster running in the data folder `dir`, from its postmaster.pid,
/// or -1; a process of that number must have `dir` as its working folder,
/// as a postmaster has, so a stale file names no other process.
pid_t postmasterOf(const std::string& dir) {
    std::ifstream file(dir + "/postmaster.pid");
    long pid = 0;
    if (!(file >> pid) || pid <= 0)
        return -1;
    std::error_code linkError, dirError;
    const auto cwd =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", linkError);
    const auto canonical = std::filesystem::canonical(dir, dirError);
    return !linkError && !dirError && cwd == canonical ? static_cast<pid_t>(pid) : -1;
}

/// The exit status of our child `pid`, or -1 when a signal ended it or it was
/// killed at `limit`.
int awaitChild(pid_t pid, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    const int fd = openPidfd(pid);
    int status = 0;
    pid_t r = 0;
    while ((r = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() <= deadline) {
        pollfd p{fd, POLLIN, 0};
        if (fd < 0 || ::poll(&p, 1, static_cast<int>(leftUntil(deadline).count())) < 0)
            std::this_thread::sleep_for(milliseconds(5)); // no pidfd: look again
    }
    if (fd >= 0)
        ::close(fd);
    if (r == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return r == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void writeAll(int fd, const char* text) {
    if (::write(fd, text, std::strlen(text)) < 0) {
        // Nowhere else to report it.
    }
}

/// In the forked child: the program with the given output, user and working
/// folder. Only async-signal-safe calls: the test process may have threads.
[[noreturn]] void execProgram(char* const argv[], char* const envp[], int logFd, int nullFd,
                              bool dropToUser, uid_t uid, gid_t gid, const char* workDir,
                              pid_t test) {
    // The defaults whatever the test process set (an ignored SIGPIPE or
    // SIGCHLD, blocked signals) would otherwise pass on to the postmaster.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(nullFd, 0) < 0 || ::dup2(logFd, 1) < 0 || ::dup2(logFd, 2) < 0)
        ::_exit(127);
        // The postmaster lives on after this call: it must hold none of the
        // test's files or sockets.
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
        for (int fd = 3; fd < 4096; ++fd)
            ::close(fd);
    if (dropToUser && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
        writeAll(2, "cannot switch to the user nobody\n");
        ::_exit(126);
    }
    dieWithTest(test); // after the switch, which clears it
    if (::chdir(workDir) != 0) {
        writeAll(2, "cannot enter the cluster's folder\n");
        ::_exit(126);
    }
    ::execve(argv[0], argv, envp);
    writeAll(2, "cannot execute the program\n");
    ::_exit(127);
}

/// The environment for PostgreSQL's programs: ours without what would steer
/// them elsewhere (PG* connection defaults, PGDATA, a tests' LOCPATH or
/// locale), with English messages and the cluster's folder as home (no
/// ~/.pgpass of ours is read).
std::vector<std::string> programEnvironment(const std::string& home) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        if (name.substr(0, 2) == "PG" || name.substr(0, 3) == "LC_" || name == "LANG" ||
            name == "LANGUAGE" || name == "LOCPATH" || name == "HOME")
            continue;
        env.emplace_back(entry);
    }
    env.push_back("LC_ALL=C");
    env.push_back("HOME=" + home);
    return env;
}

/// A libpq connection to one database on one port; the statements it runs
/// are bounded in time.
class Connection {
public:
    Connection(int port, const std::string& database) {
        const std::string portText = std::to_string(port);
        // No SSL or GSS attempt: the server has neither, and a PGSSLMODE of
        // the environment must not make a connection fail.
        const char* const keys[] = {"host",    "port",       "dbname",          "user",
                                    "sslmode", "gssencmode", "connect_timeout", nullptr};
        const char* const values[] = {"127.0.0.1", portText.c_str(), database.c_str(),
                                      kUser,       "disable",        "disable",
                                      "10",        nullptr};
        conn_ = PQconnectdbParams(keys, values, 0);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK)
            throw std::runtime_error("cannot connect to 127.0.0.1:" + portText + "/" + database +
                                     ": " + message());
    }
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Runs `sql`; the last result's first column of its first row ("" for
    /// none). Cancelled, and throws, when it takes longer than `limit`.
    std::string value(const std::string& sql, milliseconds limit) {
        if (!PQsendQuery(conn_, sql.c_str()))
            throw std::runtime_error(message() + " (" + sql + ")");
        const auto deadline = Clock::now() + limit;
        std::string value, error;
        for (;;) {
            while (PQisBusy(conn_)) {
                if (Clock::now() >= deadline) {
                    cancel();
                    throw std::runtime_error("no answer within " + std::to_string(limit.count()) +
                                             " ms to: " + sql);
                }
                pollfd p{PQsocket(conn_), POLLIN, 0};
                if (::poll(&p, 1, static_cast<int>(leftUntil(deadline).count())) < 0 &&
                    errno != EINTR)
                    throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
                if (!PQconsumeInput(conn_))
                    throw std::runtime_error(message() + " (" + sql + ")");
            }
            PGresult* result = PQgetResult(conn_);
            if (!result)
                break;
            const auto status = PQresultStatus(result);
            if (status == PGRES_TUPLES_OK)
                value = PQntuples(result) > 0 && PQnfields(result) > 0 && !PQgetisnull(result, 0, 0)
                            ? PQgetvalue(result, 0, 0)
                            : "";
            else if (status == PGRES_COMMAND_OK)
                value.clear();
            else if (error.empty())
                error = trimmed(PQresultErrorMessage(result));
            PQclear(result);
        }
        if (!error.empty())
            throw std::runtime_error(error + " (" + sql + ")");
        return value;
    }

private:
    static std::string trimmed(const char* text) {
        std::string s = text ? text : "";
        while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
            s.pop_back();
        return s;
    }
    std::string message() const { return trimmed(conn_ ? PQerrorMessage(conn_) : "out of memory"); }
    /// Asks the server to stop the statement that runs (best effort).
    void cancel() {
        if (PGcancel* handle = PQgetCancel(conn_)) {
            char buffer[256];
            PQcancel(handle, buffer, sizeof buffer);
            PQfreeCancel(handle);
        }
    }

    PGconn* conn_ = nullptr;
};

/// "PID STARTTIME" of the process `pid` (its start in clock ticks since
/// boot, field 22 of /proc/PID/stat): a number the kernel may give again
/// is told from its new owner by its start. Empty when there is none.
std::string processIdentity(pid_t pid) {
    std::istringstream stat(statAfterName(pid));
    std::string field;
    // statAfterName begins at field 3 (the state).
    for (int i = 3; i <= 22; ++i)
        if (!(stat >> field))
            return "";
    return std::to_string(pid) + " " + field;
}

/// The file in a cluster's folder that names the test process it belongs to.
constexpr const char* kOwnerFile = "/owner";

/// Ends the clusters that tests no longer running left in /tmp (a test
/// killed before its cluster was stopped) and removes their folders: an
/// earlier run's postmasters hold memory, ports and processor time.
void endAbandonedClusters() {
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/tmp", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string folder = it->path().string();
        if (!it->path().filename().string().starts_with("pelvoran-pg-"))
            continue;
        std::istringstream owner(fileText(folder + kOwnerFile));
        std::string pid, start;
        // A folder being made has no owner yet: it is not taken for abandoned.
        if (!(owner >> pid >> start) || pid.find_first_not_of("0123456789") != pid.npos ||
            processIdentity(static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10))) ==
                pid + " " + start)
            continue;
        for (const char* node : {"/primary", "/standby"}) {
            const pid_t postmaster = postmasterOf(folder + node);
            if (postmaster <= 0)
                continue;
            const int pidfd = openPidfd(postmaster);
            sendSignal(postmaster, pidfd, SIGQUIT); // an immediate shutdown
            if (!awaitEnd(postmaster, pidfd, Clock::now() + seconds(10))) {
                sendSignal(postmaster, pidfd, SIGKILL);
                awaitEnd(postmaster, pidfd, Clock::now() + seconds(10));
            }
            if (pidfd >= 0)
                ::close(pidfd);
        }
        std::filesystem::remove_all(folder, ec);
    }
}

} // namespace

std::string PostgresCluster::unavailableReason() {
    if (binFolder().empty())
        return "no PostgreSQL server programs (initdb, pg_ctl, postgres, pg_basebackup) in "
               "/usr/lib/postgresql/*/bin: install Debian's postgresql package";
    uid_t uid = 0;
    gid_t gid = 0;
    if (::geteuid() == 0 && !nobodyIds(uid, gid))
        return "running as root, and there is no user nobody to run PostgreSQL as";
    return "";
}

PostgresCluster::PostgresCluster(bool standby) : hasStandby_(standby) {
    if (const auto why = unavailableReason(); !why.empty())
        throw std::runtime_error(why);
    bin_ = binFolder();
    asNobody_ = ::geteuid() == 0;
    if (asNobody_) {
        nobodyIds(uid_, gid_);
    } else {
        uid_ = ::geteuid();
        gid_ = ::getegid();
    }
    endAbandonedClusters();
    std::string name = "/tmp/pelvoran-pg-XXXXXX";
    if (!::mkdtemp(name.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    folder_ = name;
    try {
        writeFile(folder_ + kOwnerFile, processIdentity(::getpid()) + "\n", false);
        if (asNobody_ && ::chown(folder_.c_str(), uid_, gid_) != 0)
            throw std::runtime_error("cannot give " + folder_ +
                                     " to nobody: " + std::strerror(errno));
        for (Node* node : {&primary_, &standby_}) {
            node->name = node == &primary_ ? "primary" : "standby";
            node->dir = folder_ + "/" + node->name;
            node->log = folder_ + "/" + node->name + ".log";
        }
        initPrimary();
        start(primary_, true);
        if (standby)
            makeStandby();
    } catch (...) {
        shutdown();
        throw;
    }
}

PostgresCluster::~PostgresCluster() {
    shutdown();
}

void PostgresCluster::fail(const Node& node, const std::string& what) const {
    throw std::runtime_error("PostgreSQL " + node.name + ": " + what + "\n--- end of " + node.log +
                             " ---\n" + lastLines(node.log, 30));
}

int PostgresCluster::run(const Node& node, const std::string& program,
                         const std::vector<std::string>& args, int limitSeconds) const {
    std::vector<std::string> all = {bin_ + "/" + program};
    all.insert(all.end(), args.begin(), args.end());
    std::string heading = "\n$";
    for (const auto& a : all)
        heading += " " + a;
    writeFile(node.log, heading + "\n", true);

    std::vector<std::string> env = programEnvironment(folder_);
    std::vector<char*> argv, envp;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int logFd = ::open(node.log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (logFd < 0 || nullFd < 0) {
        if (logFd >= 0)
            ::close(logFd);
        if (nullFd >= 0)
            ::close(nullFd);
        throw std::runtime_error("cannot open " + node.log + ": " + std::strerror(errno));
    }
    const pid_t test = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
        execProgram(argv.data(), envp.data(), logFd, nullFd, asNobody_, uid_, gid_, folder_.c_str(),
                    test);
    const int forkError = errno;
    ::close(logFd);
    ::close(nullFd);
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(forkError));
    const auto started = Clock::now();
    const int status = awaitChild(pid, seconds(limitSeconds));
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
    writeFile(node.log,
              "(" + program + " ended with " + std::to_string(status) + " after " +
                  std::to_string(took.count()) + " ms)\n",
              true);
    return status;
}

void PostgresCluster::makeFolder(const std::string& path) const {
    if (::mkdir(path.c_str(), 0700) != 0 || (asNobody_ && ::chown(path.c_str(), uid_, gid_) != 0))
        throw std::runtime_error("cannot make " + path + ": " + std::strerror(errno));
}

void PostgresCluster::writeFile(const std::string& path, const std::string& text,
                                bool append) const {
    {
        std::ofstream out(path, append ? std::ios::binary | std::ios::app
                                       : std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error("cannot write " + path);
    }
    // PostgreSQL's programs, as nobody, read the settings and append to the log.
    if (asNobody_ && ::chown(path.c_str(), uid_, gid_) != 0)
        throw std::runtime_error("cannot give " + path + " to nobody: " + std::strerror(errno));
}

void PostgresCluster::initPrimary() {
    makeFolder(primary_.dir);
    writeFile(primary_.log, "", true);
    const std::vector<std::string> args = {"-D",  primary_.dir,   "-U",
                                           kUser, "--auth=trust", "--encoding=UTF8"};
    auto withLocale = [&](const char* locale) {
        auto all = args;
        all.push_back(std::string("--locale=") + locale);
        return all;
    };
    int status = run(primary_, "initdb", withLocale("C.UTF-8"));
    // A C library without C.UTF-8 (glibc before 2.35 without Debian's
    // addition): initdb checks the locale before it writes anything.
    if (status != 0 && fileText(primary_.log).find("invalid locale") != std::string::npos)
        status = run(primary_, "initdb", withLocale("C"));
    if (status != 0)
        fail(primary_, "initdb failed");
    writeFile(primary_.dir + "/postgresql.conf", "\ninclude = 'pelvoran.conf'\n", true);
    writeFile(primary_.dir + "/pg_hba.conf",
              "# TCP on loopback only, without passwords: the tests' own cluster.\n"
              "host all all 127.0.0.1/32 trust\n"
              "host replication all 127.0.0.1/32 trust\n",
              false);
}

void PostgresCluster::writeSettings(const Node& node) const {
    // pelvoran.conf, included from postgresql.conf, is the node's own: the
    // standby's copy from the base backup is written over with its port.
    writeFile(node.dir + "/pelvoran.conf",
              "listen_addresses = '127.0.0.1'\n"
              "port = " +
                  std::to_string(node.port) +
                  "\n"
                  "unix_socket_directories = ''\n"
                  "max_wal_senders = 4\n"
                  "wal_level = replica\n"
                  "logging_collector = off\n"
                  // A standby stopped for a while catches up from the WAL kept.
                  "wal_keep_size = '64MB'\n",
              false);
}

void PostgresCluster::start(Node& node, bool newPorts) {
    constexpr int kAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        if (newPorts)
            node.port = freeLoopbackPort();
        writeSettings(node);
        const auto logged = fileText(node.log).size();
        if (run(node, "pg_ctl",
                {"start", "-w", "-t", std::to_string(kStepSeconds), "-D", node.dir, "-l",
                 node.log}) == 0)
            break;
        // Another process took the port between our look and the postmaster's bind.
        const std::string said = fileText(node.log).substr(logged);
        const bool portTaken =
            said.find("could not bind") != std::string::npos ||
            said.find("could not create any TCP/IP sockets") != std::string::npos;
        if (!newPorts || !portTaken || attempt == kAttempts)
            fail(node, "pg_ctl start failed");
    }
    node.pid = postmasterOf(node.dir);
    if (node.pid <= 0)
        fail(node, "started, but postmaster.pid names no postmaster");
    node.pidfd = openPidfd(node.pid);
}

void PostgresCluster::makeStandby() {
    makeFolder(standby_.dir);
    writeFile(standby_.log, "", true);
    // -R writes standby.signal and a primary_conninfo with this
    // application_name, the name synchronous_standby_names gives. A fast
    // checkpoint: the default spreads it over minutes.
    const std::string from = "host=127.0.0.1 port=" + std::to_string(primary_.port) +
                             " user=" + kUser + " application_name=" + kStandbyName;
    if (run(standby_, "pg_basebackup",
            {"-d", from, "-D", standby_.dir, "-R", "-X", "stream", "-c", "fast"}) != 0)
        fail(standby_, "pg_basebackup failed");
    start(standby_, true);
    query(primary_.port, "postgres",
          std::string("ALTER SYSTEM SET synchronous_standby_names = '") + kStandbyName + "'");
    query(primary_.port, "postgres", "SELECT pg_reload_conf()");
    awaitStandby(true);
}

void PostgresCluster::awaitStandby(bool present) const {
    const std::string sql =
        std::string("SELECT count(*) FROM pg_stat_replication WHERE application_name = '") +
        kStandbyName + "'" + (present ? " AND sync_state = 'sync'" : "");
    const auto deadline = Clock::now() + seconds(kStepSeconds);
    Connection primary(primary_.port, "postgres");
    // Nothing announces the change: look again, soon at first.
    auto pause = milliseconds(2);
    while ((primary.value(sql, seconds(kStepSeconds)) != "0") != present) {
        if (Clock::now() >= deadline)
            fail(standby_, present ? "the primary does not report the standby as 'sync'"
                                   : "the primary still reports the stopped standby");
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, milliseconds(50));
    }
}

void PostgresCluster::forget(Node& node) noexcept {
    if (node.pidfd >= 0)
        ::close(node.pidfd);
    node.pidfd = -1;
    node.pid = -1;
}

void PostgresCluster::shutdown() noexcept {
    thaw(); // a stopped process would never take the signal below
    std::vector<Node*> running;
    for (Node* node : {&primary_, &standby_}) {
        // A postmaster we lost track of (a pg_ctl killed at its deadline).
        if (node->pid < 0 && !node->dir.empty() && (node->pid = postmasterOf(node->dir)) > 0)
            node->pidfd = openPidfd(node->pid);
        if (node->pid > 0) {
            sendSignal(node->pid, node->pidfd, SIGQUIT); // pg_ctl stop -m immediate
            running.push_back(node);
        }
    }
    // The postmaster ends after its processes have, or has them killed after 5 s.
    const auto deadline = Clock::now() + seconds(30);
    for (Node* node : running) {
        if (!awaitEnd(node->pid, node->pidfd, deadline)) {
            sendSignal(node->pid, node->pidfd, SIGKILL);
            awaitEnd(node->pid, node->pidfd, Clock::now() + seconds(10));
        }
        forget(*node);
    }
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

std::string PostgresCluster::createDatabase() {
    const Node& node = promoted_ ? standby_ : primary_;
    const std::string name = "pelvoran_" + std::to_string(++databases_);
    query(node.port, "postgres", "CREATE DATABASE " + name);
    return "postgresql://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(node.port) + "/" +
           name;
}

std::string PostgresCluster::bothHostsUri(const std::string& database) const {
    const std::string standby =
        hasStandby_ ? ",127.0.0.1:" + std::to_string(standby_.port) : std::string();
    return "postgresql://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(primary_.port) +
           standby + "/" + database + "?target_session_attrs=read-write";
}

std::string PostgresCluster::query(int port, const std::string& database,
                                   const std::string& sql) const {
    Connection connection(port, database);
    return connection.value(sql, seconds(kStepSeconds));
}

void PostgresCluster::killPrimary() {
    if (primary_.pid <= 0)
        throw std::runtime_error("killPrimary: the primary does not run");
    struct Process {
        pid_t pid;
        int pidfd;
    };
    // Its processes, seen while they are still its children.
    std::vector<Process> children;
    for (const pid_t child : childrenOf(primary_.pid))
        children.push_back({child, openPidfd(child)});
    sendSignal(primary_.pid, primary_.pidfd, SIGKILL);
    const bool postmasterEnded =
        awaitEnd(primary_.pid, primary_.pidfd, Clock::now() + seconds(kStepSeconds));
    // They see the postmaster gone and end by themselves.
    const auto deadline = Clock::now() + seconds(10);
    for (const auto& child : children) {
        if (!awaitEnd(child.pid, child.pidfd, deadline)) {
            sendSignal(child.pid, child.pidfd, SIGKILL);
            awaitEnd(child.pid, child.pidfd, Clock::now() + seconds(10));
        }
        if (child.pidfd >= 0)
            ::close(child.pidfd);
    }
    forget(primary_);
    if (!postmasterEnded)
        fail(primary_, "the postmaster did not end after SIGKILL");
    // Its listening socket closed with it; no process of its own held one.
    const auto refusedBy = Clock::now() + seconds(10);
    while (!refuses(primary_.port)) {
        if (Clock::now() >= refusedBy)
            fail(primary_, "its port still takes connections after SIGKILL");
        std::this_thread::sleep_for(milliseconds(5));
    }
}

void PostgresCluster::restartPrimary() {
    if (primary_.pid <= 0)
        throw std::runtime_error("restartPrimary: the primary does not run");
    forget(primary_);
    if (run(primary_, "pg_ctl",
            {"restart", "-m", "fast", "-w", "-t", std::to_string(kStepSeconds), "-D", primary_.dir,
             "-l", primary_.log}) != 0)
        fail(primary_, "pg_ctl restart failed");
    primary_.pid = postmasterOf(primary_.dir);
    if (primary_.pid <= 0)
        fail(primary_, "restarted, but postmaster.pid names no postmaster");
    primary_.pidfd = openPidfd(primary_.pid);
    if (hasStandby_ && standby_.pid > 0 && !promoted_)
        awaitStandby(true);
}

void PostgresCluster::promoteStandby() {
    if (!hasStandby_ || standby_.pid <= 0)
        throw std::runtime_error("promoteStandby: no standby runs");
    if (run(standby_, "pg_ctl",
            {"promote", "-w", "-t", std::to_string(kStepSeconds), "-D", standby_.dir}) != 0)
        fail(standby_, "pg_ctl promote failed");
    promoted_ = true;
    query(standby_.port, "postgres", "ALTER SYSTEM RESET synchronous_standby_names");
    query(standby_.port, "postgres", "SELECT pg_reload_conf()");
}

void PostgresCluster::stopStandby() {
    if (!hasStandby_ || standby_.pid <= 0)
        throw std::runtime_error("stopStandby: no standby runs");
    if (run(standby_, "pg_ctl",
            {"stop", "-m", "fast", "-w", "-t", std::to_string(kStepSeconds), "-D", standby_.dir}) !=
        0)
        fail(standby_, "pg_ctl stop failed");
    forget(standby_);
    if (primary_.pid > 0 && !promoted_)
        awaitStandby(false);
}

void PostgresCluster::startStandby() {
    if (!hasStandby_ || standby_.pid > 0 || promoted_)
        throw std::runtime_error("startStandby: no stopped standby");
    start(standby_, false); // the port the URIs given out name
    awaitStandby(true);
}

void PostgresCluster::freeze() {
    // The standby first: a commit under way then waits for it, and is still
    // waiting when the primary stops. Each postmaster before its children:
    // it starts no process after they are seen.
    for (const Node* node : {&standby_, &primary_}) {
        if (node->pid <= 0)
            continue;
        sendSignal(node->pid, node->pidfd, SIGSTOP);
        frozen_.push_back({node->pid, openPidfd(node->pid)});
        for (const pid_t child : childrenOf(node->pid)) {
            const int pidfd = openPidfd(child);
            sendSignal(child, pidfd, SIGSTOP);
            frozen_.push_back({child, pidfd});
        }
    }
    // "T": stopped; a process that ended meanwhile is no matter.
    const auto deadline = Clock::now() + seconds(kStepSeconds);
    for (const Frozen& f : frozen_) {
        for (;;) {
            const std::string stat = statAfterName(f.pid);
            if (stat.empty() || stat[0] == 'T' || stat[0] == 'Z' || stat[0] == 'X')
                break;
            if (Clock::now() >= deadline)
                throw std::runtime_error("process " + std::to_string(f.pid) +
                                         " of the cluster did not stop after SIGSTOP");
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
}

void PostgresCluster::thaw() noexcept {
    for (const Frozen& f : frozen_) {
        sendSignal(f.pid, f.pidfd, SIGCONT);
        if (f.pidfd >= 0)
            ::close(f.pidfd);
    }
    frozen_.clear();
}

} // namespace pelvoran::test
