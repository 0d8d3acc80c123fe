#include "server/command_line.h"

#include "server/admin_site.h"
#include "server/backups.h"
#include "server/comment_export.h"
#include "server/release.h"
#include "server/serve.h"
#include "server/store.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace pelvoran::server {
namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "用法：\n"
    "  pelvoran-server serve   [--state DIR] [--listen HOST:PORT] [--admin-listen HOST:PORT]"
    " [--trusted-proxy ADDR]\n"
    "                          [--comments-per-hour N] [--comment-bytes-per-hour SIZE]"
    " [--max-connections N]\n"
    "                          [--head-timeout SECONDS] [--min-body-rate SIZE]"
    " [--body-budget SIZE]\n"
    "  pelvoran-server release show|clear [--state DIR]\n"
    "  pelvoran-server release set [--state DIR] --version 1.06 --address URL --date TEXT"
    " --notes TEXT\n"
    "  pelvoran-server comments list [--state DIR] [--since YYYY-MM-DD]\n"
    "  pelvoran-server comments export [--state DIR] [--format jsonl|csv] [--since YYYY-MM-DD]\n"
    "  pelvoran-server backup FILE [--state DIR]\n"
    "  pelvoran-server admin-url [--state DIR]\n";

constexpr char kDefaultState[] = "pelvoran-state";

/// A usage error or refused input: the message names the option or field at
/// fault. Input that was refused does not need the usage repeated.
struct UsageError {
    std::string message;
    bool showUsage = true;
};

void say(std::FILE* to, const std::string& line) {
    std::fprintf(to, "%s\n", line.c_str());
}

struct Parsed {
    std::vector<std::string> words; // the command and its operands
    std::map<std::string, std::string> options;
};

Parsed parse(const std::vector<std::string>& args, const std::set<std::string>& known) {
    Parsed p;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!a.starts_with("--")) {
            p.words.push_back(a);
            continue;
        }
        std::string name = a;
        std::optional<std::string> value;
        if (const auto eq = a.find('='); eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        if (!known.contains(name))
            throw UsageError{"未知选项：" + name};
        if (!value) {
            if (i + 1 >= args.size())
                throw UsageError{name + "：缺少值"};
            value = args[++i];
        }
        if (!p.options.emplace(name, *value).second)
            throw UsageError{name + "：只能给一次"};
    }
    return p;
}

std::string optionOr(const Parsed& p, const std::string& name, const std::string& fallback) {
    const auto it = p.options.find(name);
    return it == p.options.end() ? fallback : it->second;
}

unsigned number(const Parsed& p, const std::string& name, unsigned fallback, unsigned max) {
    const auto it = p.options.find(name);
    if (it == p.options.end())
        return fallback;
    const std::string& v = it->second;
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(v) > max)
        throw UsageError{name + "：须为 0 到 " + std::to_string(max) + " 之间的整数"};
    return static_cast<unsigned>(std::stoul(v));
}

/// A number of bytes: digits, then optionally K or M (1024, 1024²).
std::uint64_t byteSize(const Parsed& p, const std::string& name, std::uint64_t fallback) {
    const auto it = p.options.find(name);
    if (it == p.options.end())
        return fallback;
    std::string v = it->second;
    std::uint64_t unit = 1;
    if (!v.empty() && (v.back() == 'K' || v.back() == 'k' || v.back() == 'M' || v.back() == 'm')) {
        unit = v.back() == 'K' || v.back() == 'k' ? 1024 : 1024 * 1024;
        v.pop_back();
    }
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{name + "：须为字节数，可带 K 或 M，例如 64M"};
    return std::stoull(v) * unit;
}

Endpoint endpoint(const Parsed& p, const std::string& name, const Endpoint& fallback) {
    const auto it = p.options.find(name);
    if (it == p.options.end())
        return fallback;
    const auto e = parseEndpoint(it->second);
    if (!e)
        throw UsageError{name + "：须写成 HOST:PORT，例如 127.0.0.1:8080"};
    return *e;
}

/// Local midnight of "YYYY-MM-DD", as seconds since 1970.
std::optional<std::int64_t> since(const Parsed& p) {
    const auto it = p.options.find("--since");
    if (it == p.options.end())
        return std::nullopt;
    std::tm tm{};
    const char* end = strptime(it->second.c_str(), "%Y-%m-%d", &tm);
    if (end == nullptr || *end != '\0' || it->second.size() != 10)
        throw UsageError{"--since：日期须写成 YYYY-MM-DD，例如 2026-12-01"};
    tm.tm_isdst = -1;
    const std::tm asWritten = tm;
    const std::time_t t = std::mktime(&tm);
    // mktime() moves 2026-02-31 to 2026-03-03: a day that does not exist.
    if (t == static_cast<std::time_t>(-1) || tm.tm_year != asWritten.tm_year ||
        tm.tm_mon != asWritten.tm_mon || tm.tm_mday != asWritten.tm_mday)
        throw UsageError{"--since：没有 " + it->second + " 这一天", false};
    return static_cast<std::int64_t>(t);
}

void expectWords(const Parsed& p, std::size_t n) {
    if (p.words.size() > n)
        throw UsageError{"多余的参数：" + p.words[n]};
}

/// A file descriptor, closed on every way out.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    /// Closes it now; false when the close reports an error.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

/// The state directory as a command found it.
struct StateDir {
    std::string path;  // to work with; "." once acting as its owner from inside it
    std::string shown; // its real path, for messages
    Fd fd;             // the directory itself, opened before any change of directory or user
    bool actAsOwner = false;
    uid_t owner = 0;
    gid_t group = 0;
};

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

std::string databaseIn(const std::string& state) {
    return (fs::path(state) / kDatabaseFile).string();
}

/// Refuses a state directory the server could not keep comments in, before
/// anything is served or copied from it.
void checkState(const StateDir& s) {
    if (::faccessat(AT_FDCWD, s.path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        throw std::runtime_error("状态目录 " + s.shown + " 不可写（" + std::strerror(errno) +
                                 "）：请让运行服务器的用户可以写入这个目录，再重试。");
    checkDatabase(databaseIn(s.path), databaseIn(s.shown));
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
        return std::make_unique<Database>(databaseIn(s.path));
    } catch (const StoreError& e) {
        throw std::runtime_error("无法打开数据库文件 " + databaseIn(s.shown) + "：" + e.what());
    }
}

int serveCommand(const std::vector<std::string>& args) {
    const Parsed p =
        parse(args, {"--state", "--listen", "--admin-listen", "--trusted-proxy",
                     "--comments-per-hour", "--comment-bytes-per-hour", "--max-connections",
                     "--head-timeout", "--min-body-rate", "--body-budget"});
    expectWords(p, 1);
    ServeOptions o;
    o.listen = endpoint(p, "--listen", o.listen);
    o.adminListen = endpoint(p, "--admin-listen", o.adminListen);
    if (const auto it = p.options.find("--trusted-proxy"); it != p.options.end()) {
        unsigned char buf[sizeof(in6_addr)];
        if (inet_pton(AF_INET, it->second.c_str(), buf) != 1 &&
            inet_pton(AF_INET6, it->second.c_str(), buf) != 1)
            throw UsageError{"--trusted-proxy：须为 IP 地址，例如 127.0.0.1"};
        o.trustedProxy = it->second;
    }
    o.commentsPerHour = number(p, "--comments-per-hour", o.commentsPerHour, 1000000);
    o.commentBytesPerHour = byteSize(p, "--comment-bytes-per-hour", o.commentBytesPerHour);
    o.maxConnections = number(p, "--max-connections", o.maxConnections, 100000);
    if (o.maxConnections == 0)
        throw UsageError{"--max-connections：至少为 1"};
    const unsigned headSeconds = number(p, "--head-timeout", 10, 3600);
    if (headSeconds == 0)
        throw UsageError{"--head-timeout：至少为 1 秒"};
    o.headTimeout = std::chrono::seconds(headSeconds);
    o.minBodyRate = byteSize(p, "--min-body-rate", o.minBodyRate);
    o.bodyBudget = byteSize(p, "--body-budget", o.bodyBudget);
    if (o.bodyBudget < kMaxBody)
        throw UsageError{"--body-budget：至少为 1M，一条留言最多 1 MiB"};
    // Bound first, while a privileged port can still be taken: preparing
    // the state may switch to its owner.
    ListenSocket publicSocket;
    ListenSocket adminSocket;
    try {
        publicSocket = ListenSocket::bind(o.listen);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("--listen：") + e.what());
    }
    try {
        adminSocket = ListenSocket::bind(o.adminListen);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("--admin-listen：") + e.what());
    }
    o.stateDir = prepareState(p);
    return serve(o, std::move(publicSocket), std::move(adminSocket));
}

const char* fieldOption(ReleaseField f) {
    switch (f) {
    case ReleaseField::Version: return "--version";
    case ReleaseField::Address: return "--address";
    case ReleaseField::Date: return "--date";
    case ReleaseField::Notes: return "--notes";
    }
    return "";
}

int releaseCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state", "--version", "--address", "--date", "--notes"});
    const std::string verb = p.words.size() > 1 ? p.words[1] : "";
    expectWords(p, 2);
    if (verb == "set") {
        Release r;
        for (const auto& [name, field] :
             {std::pair{"--version", &r.version}, std::pair{"--address", &r.address},
              std::pair{"--date", &r.date}, std::pair{"--notes", &r.notes}}) {
            const auto it = p.options.find(name);
            if (it == p.options.end())
                throw UsageError{std::string(name) + "：release set 需要这个选项"};
            const auto text = fromUtf8(it->second);
            if (!text)
                throw UsageError{std::string(name) + "：不是有效的 UTF-8 文本"};
            *field = *text;
        }
        if (const auto problem = checkRelease(r))
            throw UsageError{
                std::string(fieldOption(problem->field)) + "：" + toUtf8(problem->message), false};
        openDatabase(enterState(p))->setRelease(r);
        say(stdout, "已发布 " + toUtf8(r.version) + "。正在运行的服务器一秒内开始提供。");
        return kExitOk;
    }
    if (verb != "show" && verb != "clear")
        throw UsageError{"release 后须为 show、set 或 clear"};
    if (p.options.size() > p.options.count("--state"))
        throw UsageError{"release " + verb + " 只接受 --state"};
    const auto db = openDatabase(enterState(p));
    if (verb == "clear") {
        db->clearRelease();
        say(stdout, "已撤下发布的版本：工具将不再提示更新。");
        return kExitOk;
    }
    const auto r = db->release();
    if (!r) {
        say(stdout, "尚未发布新版本。");
        return kExitOk;
    }
    say(stdout, "版本：" + toUtf8(r->version));
    say(stdout, "下载地址：" + toUtf8(r->address));
    say(stdout, "发布日期：" + toUtf8(r->date));
    say(stdout, "更新说明：" + toUtf8(r->notes));
    return kExitOk;
}

const char* sourceName(const std::string& source) {
    return source == kFromWeb ? "网页" : "桌面工具";
}

int commentsCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state", "--since", "--format"});
    const std::string verb = p.words.size() > 1 ? p.words[1] : "";
    expectWords(p, 2);
    if (verb != "list" && verb != "export")
        throw UsageError{"comments 后须为 list 或 export"};
    const std::string format = optionOr(p, "--format", "jsonl");
    if (verb == "list" && p.options.contains("--format"))
        throw UsageError{"--format：只用于 comments export"};
    if (format != "jsonl" && format != "csv")
        throw UsageError{"--format：须为 jsonl 或 csv"};
    const auto from = since(p);
    const auto comments = openDatabase(enterState(p))->comments(from);
    std::string out;
    if (verb == "list") {
        for (const auto& c : comments)
            out += "#" + std::to_string(c.id) + "  " + localTimeText(c.received) + "  " +
                   sourceName(c.source) + "\n" + terminalText(c.text) + "\n";
        out += comments.empty() ? "没有留言。\n"
                                : "共 " + std::to_string(comments.size()) + " 条留言。\n";
    } else if (format == "csv") {
        out = "\xEF\xBB\xBF" + csvHeader();
        for (const auto& c : comments)
            out += csvRecord(c);
    } else {
        for (const auto& c : comments)
            out += jsonLine(c);
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        throw std::runtime_error(std::string("无法写出：") + std::strerror(errno));
    return kExitOk;
}

/// Reports what `run` throws, as every command does; the exit status.
int reported(const std::function<int()>& run) {
    try {
        return run();
    } catch (const UsageError& e) {
        say(stderr, "pelvoran-server: " + e.message);
        if (e.showUsage)
            std::fputs(kUsage, stderr);
        return kExitUsage;
    } catch (const std::exception& e) {
        say(stderr, std::string("pelvoran-server: ") + e.what());
        return kExitFailure;
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

/// Where a backup goes: its directory, opened before any change of
/// directory or user, and its name in there.
struct BackupTarget {
    std::string shown; // as the publisher wrote it
    Fd dir;
    bool canSync = true; // a directory opened only as a path cannot be synced
    std::string name;
};

BackupTarget backupTarget(const std::string& file) {
    const fs::path path(file);
    BackupTarget t{file, Fd(), true, path.filename().string()};
    if (t.name.empty() || t.name == "." || t.name == "..")
        throw UsageError{"backup：" + file + " 须为文件的路径，而不是目录", false};
    const std::string parent = path.has_parent_path() ? path.parent_path().string() : ".";
    t.dir = Fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (t.dir.get() < 0 && errno == EACCES) {
        t.dir = Fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        t.canSync = false;
    }
    if (t.dir.get() < 0)
        throw std::runtime_error("backup：无法打开目录 " + parent + "：" + std::strerror(errno));
    struct stat st {};
    if (::fstatat(t.dir.get(), t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        throw UsageError{"backup：" + file + " 已存在，不会覆盖", false};
    return t;
}

/// Copies the database to a file of the caller's beside FILE, then moves it
/// into place: FILE is either a whole copy or absent, and nothing else in
/// its directory or the state directory is ever touched.
int backupCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state"});
    if (p.words.size() < 2)
        throw UsageError{"backup 需要目标文件名"};
    expectWords(p, 2);
    const BackupTarget target = backupTarget(p.words[1]);
    StateDir state = findState(p, false);
    struct stat st {};
    if (::fstatat(state.fd.get(), kDatabaseFile, &st, 0) != 0 && errno == ENOENT)
        throw UsageError{"--state：" + state.shown + " 中没有数据库 " + kDatabaseFile +
                             "，请确认状态目录",
                         false};

    // Created by the caller, under a name nobody takes for a backup.
    std::string temp;
    Fd out;
    for (int attempt = 0; out.get() < 0; ++attempt) {
        temp = "." + target.name + "." + std::to_string(::getpid()) + "-" +
               std::to_string(attempt) + ".part";
        out = Fd(::openat(target.dir.get(), temp.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.get() < 0 && (errno != EEXIST || attempt == 100))
            throw std::runtime_error("backup：无法创建 " + target.shown + " 的临时文件：" +
                                     std::strerror(errno));
    }
    const auto removeTemp = [&] { ::unlinkat(target.dir.get(), temp.c_str(), 0); };
    int status = kExitFailure;
    try {
        // Reading the database is the state owner's business.
        status = asStateOwner(state, [&] {
            checkState(state);
            const std::string copy = openDatabase(state)->snapshot();
            try {
                writeAndSync(out.get(), copy);
            } catch (const StoreError& e) {
                throw std::runtime_error(std::string("backup：无法写入备份：") + e.what());
            }
        });
        if (!out.close() && status == kExitOk)
            throw std::runtime_error(std::string("backup：无法写入备份：") + std::strerror(errno));
    } catch (...) {
        removeTemp();
        throw;
    }
    if (status != kExitOk) {
        removeTemp();
        return status;
    }
    if (::renameat2(target.dir.get(), temp.c_str(), target.dir.get(), target.name.c_str(),
                    RENAME_NOREPLACE) != 0) {
        const int error = errno;
        removeTemp();
        if (error == EEXIST)
            throw UsageError{"backup：" + target.shown + " 已存在，不会覆盖", false};
        throw std::runtime_error("backup：无法创建 " + target.shown + "：" + std::strerror(error));
    }
    if (target.canSync && ::fsync(target.dir.get()) != 0) {
        const int error = errno;
        ::unlinkat(target.dir.get(), target.name.c_str(), 0);
        throw std::runtime_error("backup：无法把 " + target.shown + " 写入磁盘：" +
                                 std::strerror(error));
    }
    say(stdout, "已备份到 " + target.shown + "。");
    return kExitOk;
}

/// The address of the admin pages with the token that opens them.
int adminUrlCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state"});
    expectWords(p, 1);
    const std::string state = enterState(p).path;
    const std::string token = adminToken(state);
    std::string address = "127.0.0.1:8081";
    if (std::ifstream in(fs::path(state) / kAdminAddressFile); in)
        std::getline(in, address);
    // A listener on every address is reached on this machine through loopback.
    if (address.starts_with("0.0.0.0:"))
        address = "127.0.0.1" + address.substr(7);
    else if (address.starts_with("[::]:"))
        address = "[::1]" + address.substr(4);
    say(stdout, "http://" + address + "/?token=" + token);
    return kExitOk;
}

} // namespace

int runCommandLine(const std::vector<std::string>& args) {
    return reported([&] {
        const std::string command = args.empty() ? "" : args[0];
        if (command == "serve")
            return serveCommand(args);
        if (command == "release")
            return releaseCommand(args);
        if (command == "comments")
            return commentsCommand(args);
        if (command == "backup")
            return backupCommand(args);
        if (command == "admin-url")
            return adminUrlCommand(args);
        if (command == "--help" || command == "help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        throw UsageError{command.empty() ? "缺少命令" : "未知命令：" + command};
    });
}

} // namespace pelvoran::server
