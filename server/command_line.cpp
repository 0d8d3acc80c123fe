#include "server/command_line.h"

#include "server/admin_site.h"
#include "server/comment_export.h"
#include "server/release.h"
#include "server/serve.h"
#include "server/store.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

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
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        throw UsageError{"--since：不是有效的日期"};
    return static_cast<std::int64_t>(t);
}

void expectWords(const Parsed& p, std::size_t n) {
    if (p.words.size() > n)
        throw UsageError{"多余的参数：" + p.words[n]};
}

/// Run by root against a state directory that belongs to someone else (the
/// packaged service's user), the command acts as that user, so that no file
/// of the database is ever left owned by root. Returns the directory to use.
std::string actAsStateOwner(const std::string& dir) {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(dir.c_str(), &st) != 0 || st.st_uid == 0)
        return dir;
    // The path may lead through directories only root may pass (systemd's
    // /var/lib/private); once inside, the owner needs only the directory.
    if (::chdir(dir.c_str()) != 0)
        throw std::runtime_error(dir + "：" + std::strerror(errno));
    if (::setgroups(0, nullptr) != 0 || ::setgid(st.st_gid) != 0 || ::setuid(st.st_uid) != 0)
        throw std::runtime_error("无法切换到状态目录的所有者（uid " + std::to_string(st.st_uid) +
                                 "）：" + std::strerror(errno));
    return ".";
}

std::string prepareState(const Parsed& p) {
    const std::string dir = optionOr(p, "--state", kDefaultState);
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        fs::create_directories(dir, ec);
        if (ec)
            throw std::runtime_error("--state：无法创建目录 " + dir + "：" + ec.message());
        ::chmod(dir.c_str(), 0750);
    } else if (!fs::is_directory(dir, ec)) {
        throw UsageError{"--state：" + dir + " 不是目录"};
    }
    return actAsStateOwner(dir);
}

std::string databaseIn(const std::string& state) {
    return (fs::path(state) / kDatabaseFile).string();
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
        Database db(databaseIn(prepareState(p)));
        db.setRelease(r);
        say(stdout, "已发布 " + toUtf8(r.version) + "。正在运行的服务器一秒内开始提供。");
        return kExitOk;
    }
    if (verb != "show" && verb != "clear")
        throw UsageError{"release 后须为 show、set 或 clear"};
    if (p.options.size() > p.options.count("--state"))
        throw UsageError{"release " + verb + " 只接受 --state"};
    Database db(databaseIn(prepareState(p)));
    if (verb == "clear") {
        db.clearRelease();
        say(stdout, "已撤下发布的版本：工具将不再提示更新。");
        return kExitOk;
    }
    const auto r = db.release();
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
    Database db(databaseIn(prepareState(p)));
    const auto comments = db.comments(from);
    std::string out;
    if (verb == "list") {
        for (const auto& c : comments)
            out += "#" + std::to_string(c.id) + "  " + localTimeText(c.received) + "  " +
                   sourceName(c.source) + "\n" + toUtf8(c.text) + "\n\n";
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

int backupCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state"});
    if (p.words.size() < 2)
        throw UsageError{"backup 需要目标文件名"};
    expectWords(p, 2);
    const std::string file = p.words[1];
    // Opened before acting as the state's owner: the file is the caller's.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            throw UsageError{"backup：" + file + " 已存在，不会覆盖", false};
        throw std::runtime_error("backup：无法创建 " + file + "：" + std::strerror(errno));
    }
    try {
        backupToFile(prepareState(p), fd);
    } catch (...) {
        ::close(fd);
        ::unlink(file.c_str());
        throw;
    }
    ::close(fd);
    say(stdout, "已备份到 " + file + "。");
    return kExitOk;
}

/// The address of the admin pages with the token that opens them.
int adminUrlCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state"});
    expectWords(p, 1);
    const std::string state = prepareState(p);
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
    try {
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

} // namespace pelvoran::server
