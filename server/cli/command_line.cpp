#include "server/cli/command_line.h"

#include "server/admin/admin_site.h"
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/comments/comment_export.h"
#include "server/daemon/serve.h"
#include "server/notify/notify.h"
#include "server/release/release.h"
#include "server/release/update_key.h"
#include "server/store/store.h"
#include "server/support/error_text.h"

#include "platform/version.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <utility>

namespace pelvoran::server {
namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "用法：\n"
    "  pelvoran-server serve   [--state DIR] [--listen HOST:PORT]... [--admin-listen HOST:PORT]"
    " [--trusted-proxy ADDR]\n"
    "                          [--public-prefix /PATH/]"
    " [--comments-per-hour N] [--comment-bytes-per-hour SIZE]\n"
    "                          [--max-connections N]"
    " [--head-timeout SECONDS] [--body-timeout SECONDS]\n"
    "                          [--idle-timeout SECONDS] [--min-body-rate SIZE]"
    " [--body-budget SIZE]\n"
    "                          [--busy-timeout MILLISECONDS]"
    " [--admin-base-url URL] [--notify-retry-ms MILLISECONDS]\n"
    "                          [--max-download-size SIZE]"
    " [--database postgresql://…]\n"
    "  pelvoran-server release show|clear|history|prune-files [--state DIR] [--database URI]"
    " [--platform windows|linux]\n"
    "  pelvoran-server release set [--state DIR] [--database URI] --version 1.06 --address URL "
    "--date TEXT"
    " --notes TEXT\n"
    "                              [--sign-with KEYFILE | --signature SIG]\n"
    "                              [--platform windows|linux] [--rollout PERCENT]\n"
    "  pelvoran-server release set [--state DIR] [--database URI] --version 1.06 --file PATH "
    "[--file-name NAME]"
    " --date TEXT --notes TEXT\n"
    "                              [--download-base URL] [--max-download-size SIZE]"
    " [--sign-with KEYFILE | --signature SIG]\n"
    "                              [--platform windows|linux] [--rollout PERCENT]\n"
    "  pelvoran-server release rollout PERCENT [--state DIR] [--database URI] [--platform "
    "windows|linux]\n"
    "  pelvoran-server release halt [--state DIR] [--database URI] [--platform windows|linux]\n"
    "  pelvoran-server release sign --key KEYFILE --version 1.06 --address URL --date TEXT"
    " --notes TEXT\n"
    "  pelvoran-server key create FILE [--state DIR]\n"
    "  pelvoran-server key create --state DIR\n"
    "  pelvoran-server key show [--state DIR]\n"
    "  pelvoran-server comments list [--state DIR | --backup FILE] [--database URI] [--since "
    "YYYY-MM-DD]\n"
    "  pelvoran-server comments export [--state DIR | --backup FILE] [--database URI] [--format "
    "jsonl|csv]"
    " [--since YYYY-MM-DD]\n"
    "  pelvoran-server comments delete ID... [--state DIR] [--database URI]\n"
    "  pelvoran-server audit list [--state DIR] [--database URI] [--limit N]\n"
    "  pelvoran-server notify add webhook URL --secret-file FILE [--flagged] [--state DIR] "
    "[--database URI]\n"
    "  pelvoran-server notify add email ADDRESS --smtp URL [--user USER --password-file FILE]\n"
    "                          [--ca-file FILE] [--flagged] [--state DIR] [--database URI]\n"
    "  pelvoran-server notify list|remove N|test N [--state DIR] [--database URI]\n"
    "  pelvoran-server backup FILE [--state DIR] [--database URI]\n"
    "  pelvoran-server restore FILE [--state DIR]\n"
    "  pelvoran-server restore FILE --database postgresql://… [--replace]\n"
    "  pelvoran-server admin-url [--state DIR]\n"
    "  pelvoran-server --version\n"
    "  pelvoran-server --help\n";

/// The usage of the command `args` begins with (and of its subcommand,
/// when one is named and known): kUsage's entries for it, each with the
/// lines that go on from it.
std::string usageOf(const std::vector<std::string>& args) {
    std::vector<std::string> entries;
    std::string_view rest = kUsage;
    rest.remove_prefix(rest.find('\n') + 1); // "用法："
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n') + 1;
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end);
        if (line.starts_with("  pelvoran-server ") || entries.empty())
            entries.emplace_back(line);
        else
            entries.back() += line;
    }
    const auto words = [](const std::string& entry) {
        std::vector<std::string> w;
        std::size_t at = std::string_view("  pelvoran-server ").size();
        for (int i = 0; i < 2; ++i) {
            const std::size_t blank = entry.find_first_of(" \n", at);
            w.push_back(entry.substr(at, blank - at));
            at = entry.find_first_not_of(' ', blank);
        }
        return w;
    };
    const auto pick = [&](bool bySubcommand) {
        std::string out;
        for (const std::string& entry : entries) {
            const auto w = words(entry);
            bool named = w[0] == args[0];
            if (named && bySubcommand) {
                named = false;
                for (std::size_t at = 0; at <= w[1].size();) {
                    const std::size_t bar = std::min(w[1].find('|', at), w[1].size());
                    named = named || w[1].substr(at, bar - at) == args[1];
                    at = bar + 1;
                }
            }
            if (named)
                out += entry;
        }
        return out;
    };
    std::string chosen = args.size() > 1 ? pick(true) : "";
    if (chosen.empty())
        chosen = pick(false);
    return "用法：\n" + chosen;
}

/// "/" or "/a/b/": a path of plain characters, between slashes.
bool isPrefix(const std::string& s) {
    if (!s.starts_with('/') || !s.ends_with('/') || s.find("//") != std::string::npos ||
        s.find("/./") != std::string::npos || s.find("/../") != std::string::npos)
        return false;
    return s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "-._~/") == std::string::npos;
}

/// The public sockets: bound here, before the state directory's owner is
/// taken on, so that a privileged port can be had. An IPv6 wildcard takes
/// IPv4 clients too, unless an IPv4 address on its port is asked for beside it.
std::vector<ListenSocket> bindPublic(const std::vector<Endpoint>& listen) {
    std::vector<ListenSocket> sockets;
    for (const Endpoint& e : listen) {
        const auto isV4 = [](const Endpoint& x) { return x.host.find(':') == std::string::npos; };
        const bool v6only = !isV4(e) && e.port != 0 &&
                            std::any_of(listen.begin(), listen.end(), [&](const Endpoint& other) {
                                return isV4(other) && other.port == e.port;
                            });
        try {
            sockets.push_back(ListenSocket::bind(e, v6only));
        } catch (const std::runtime_error& error) {
            throw std::runtime_error(std::string("--listen：") + error.what());
        }
    }
    return sockets;
}

/// The public sockets systemd passes (pelvoran-server.socket, whose
/// FileDescriptorName= is "public"); none when started by hand.
std::vector<ListenSocket> systemdSockets() {
    char** names = nullptr;
    const int n = sd_listen_fds_with_names(1, &names);
    if (n < 0)
        throw std::runtime_error("无法取得 systemd 传来的套接字：" + systemErrorText(-n));
    std::vector<ListenSocket> sockets;
    std::optional<std::string> stranger; // an empty name is a stranger too
    std::string unusable;
    for (int i = 0; i < n; ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        const std::string name = names != nullptr && names[i] != nullptr ? names[i] : "";
        if (name != "public") {
            ::close(fd);
            stranger = name;
            continue;
        }
        try {
            sockets.push_back(ListenSocket::adopt(fd));
        } catch (const std::runtime_error& e) {
            unusable = e.what();
        }
    }
    for (int i = 0; names != nullptr && i < n; ++i)
        std::free(names[i]);
    std::free(names);
    if (stranger)
        throw std::runtime_error((stranger->empty()
                                      ? std::string("systemd 传来没有名字的套接字")
                                      : "systemd 传来名为“" + *stranger + "”的套接字") +
                                 "，本服务只接受名为 public 的：请在 pelvoran-server.socket 中保留 "
                                 "FileDescriptorName=public");
    if (!unusable.empty())
        throw std::runtime_error("systemd " + unusable +
                                 "：pelvoran-server.socket 中只能用 ListenStream=");
    return sockets;
}

int serveCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(
        args,
        {"--state", "--listen", "--admin-listen", "--trusted-proxy", "--public-prefix",
         "--comments-per-hour", "--comment-bytes-per-hour", "--max-connections", "--head-timeout",
         "--body-timeout", "--idle-timeout", "--min-body-rate", "--body-budget", "--busy-timeout",
         "--admin-base-url", "--notify-retry-ms", "--max-download-size", "--database"},
        {"--listen"});
    expectWords(p, 1);
    ServeOptions o;
    o.listen = endpoints(p, "--listen", o.listen.front());
    o.publicPrefix = optionOr(p, "--public-prefix", o.publicPrefix);
    if (!isPrefix(o.publicPrefix))
        throw UsageError{"--public-prefix：须以 / 开头和结尾，只含字母、数字和 - . _ ~，例如 "
                         "/pelvoran/，而不是 " +
                         o.publicPrefix};
    o.adminListen = endpoint(p, "--admin-listen", o.adminListen);
    if (const auto it = p.options.find("--trusted-proxy"); it != p.options.end()) {
        o.trustedProxy = ClientAddress::parse(it->second);
        if (!o.trustedProxy)
            throw UsageError{"--trusted-proxy：须为 IP 地址，例如 127.0.0.1"};
    }
    o.commentsPerHour = number(p, "--comments-per-hour", o.commentsPerHour, 1000000);
    o.commentBytesPerHour = byteSize(p, "--comment-bytes-per-hour", o.commentBytesPerHour);
    o.maxConnections = number(p, "--max-connections", o.maxConnections, 100000);
    if (o.maxConnections == 0)
        throw UsageError{"--max-connections：至少为 1"};
    const auto seconds = [&](const char* name, std::chrono::milliseconds fallback) {
        const unsigned n =
            number(p, name,
                   static_cast<unsigned>(
                       std::chrono::duration_cast<std::chrono::seconds>(fallback).count()),
                   3600);
        if (n == 0)
            throw UsageError{std::string(name) + "：至少为 1 秒"};
        return std::chrono::milliseconds(std::chrono::seconds(n));
    };
    const auto millis = [&](const char* name, std::chrono::milliseconds fallback, unsigned max) {
        return std::chrono::milliseconds(
            number(p, name, static_cast<unsigned>(fallback.count()), max));
    };
    o.headTimeout = seconds("--head-timeout", o.headTimeout);
    o.bodyTimeout = seconds("--body-timeout", o.bodyTimeout);
    o.idleSeconds = static_cast<unsigned>(
        seconds("--idle-timeout", std::chrono::seconds(o.idleSeconds)).count() / 1000);
    o.minBodyRate = byteSize(p, "--min-body-rate", o.minBodyRate);
    o.bodyBudget = byteSize(p, "--body-budget", o.bodyBudget);
    o.maxDownloadSize = byteSize(p, "--max-download-size", o.maxDownloadSize);
    o.busyTimeout = millis("--busy-timeout", o.busyTimeout, 60000);
    o.database = optionOr(p, "--database", "");
    if (!o.database.empty() && !isPostgresLocation(o.database))
        throw UsageError{"--database：须为 PostgreSQL 的连接串，以 postgresql:// 开头，例如 "
                         "postgresql://pelvoran@db1,db2/pelvoran?target_session_attrs=read-write；"
                         "不写则用状态目录中的 SQLite 文件"};
    o.adminBaseUrl = optionOr(p, "--admin-base-url", o.adminBaseUrl);
    if (!o.adminBaseUrl.empty() && !isWebAddress(o.adminBaseUrl))
        throw UsageError{"--admin-base-url：须为浏览器打开管理页面的地址，以 https:// 或 http:// "
                         "开头，例如 https://example.com/pelvoran-admin/"};
    o.notifyRetry = millis("--notify-retry-ms", o.notifyRetry, 3600000);
    if (o.notifyRetry.count() < 10)
        throw UsageError{"--notify-retry-ms：至少为 10 毫秒"};
    if (o.bodyBudget < kMaxBody)
        throw UsageError{"--body-budget：至少为 1M，一条留言最多 " + maxBodyText()};
    // Bound first, while a privileged port can still be taken: preparing
    // the state may switch to its owner.
    // Sockets from systemd come first: the socket unit owns the public
    // addresses, and a restart loses no connection.
    std::vector<ListenSocket> publicSockets = systemdSockets();
    if (publicSockets.empty())
        publicSockets = bindPublic(o.listen);
    else if (p.repeated.contains("--listen"))
        say(stderr, "pelvoran-server: 使用 systemd 传来的套接字，不理会 --listen；"
                    "公共地址在 pelvoran-server.socket 中设置");
    ListenSocket adminSocket;
    try {
        adminSocket = ListenSocket::bind(o.adminListen);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("--admin-listen：") + e.what());
    }
    // Held until this process ends, however it ends.
    Fd lock;
    const StateDir state = prepareState(p, lock, !o.database.empty());
    o.stateDir = state.path;
    o.shownStateDir = state.shown;
    o.signInCommand = adminUrlCommand(state.shown, state.owner);
    return serve(o, std::move(publicSockets), std::move(adminSocket));
}

/// A sign-in address of the admin pages, with a new code that opens them
/// once; status 1 when no server runs there (the address the last one had,
/// if known, still printed, for after the start).
int adminUrlCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state"});
    expectWords(p, 1);
    const StateDir state = enterState(p);
    std::string address;
    if (std::ifstream in(fs::path(state.path) / kAdminAddressFile); in)
        std::getline(in, address);
    const bool running = stateLocked(state);
    const std::string start =
        "启动服务器（软件包安装的：sudo systemctl start pelvoran-server；否则用平常的 "
        "pelvoran-server serve 命令）";
    if (address.empty())
        throw std::runtime_error(
            running ? "状态目录 " + state.shown +
                          " 上的服务器没能记下管理页面的地址（原因见它的日志）：请重新启动它，"
                          "再运行这个命令。"
                    : "状态目录 " + state.shown +
                          " 上现在没有服务器在运行，也没有记下的管理页面地址：请" + start +
                          "，再运行这个命令。");
    std::string code;
    try {
        code = AdminSessions(state.database.empty() ? databasePath(state.path) : state.database)
                   .mint();
    } catch (const StoreError& e) {
        throw std::runtime_error("无法在状态目录 " + state.shown +
                                 " 的服务器所用的数据库中记下新的登录地址：" + e.what());
    }
    if (!running)
        say(stderr, "pelvoran-server: 状态目录 " + state.shown +
                        " 上现在没有服务器在运行：下面是上次运行时的管理页面地址，" + start +
                        "后才能打开（一小时内有效；它若换了 --admin-listen，请再运行这个命令）。");
    say(stdout, "http://" + browserAddress(address) + "/?" + kSignInField + "=" + code);
    return running ? kExitOk : kExitFailure;
}

} // namespace

/// Reports what `run` throws, as every command does; the exit status.
int reported(const std::function<int()>& run) {
    try {
        return run();
    } catch (const UsageError& e) {
        say(stderr, "pelvoran-server: " + e.message);
        if (e.showUsage)
            std::fputs(kUsage, stderr);
        return kExitUsage;
    } catch (const fs::filesystem_error& e) {
        say(stderr,
            "pelvoran-server: " + e.path1().string() + "：" + systemErrorText(e.code().value()));
        return kExitFailure;
    } catch (const std::exception& e) {
        say(stderr, std::string("pelvoran-server: ") + e.what());
        return kExitFailure;
    }
}

int runCommandLine(const std::vector<std::string>& args) {
    return reported([&] {
        const std::string command = args.empty() ? "" : args[0];
        // Each command's --help prints its own part of the usage.
        if (!command.starts_with("-") &&
            std::any_of(args.begin() + (args.empty() ? 0 : 1), args.end(),
                        [](const std::string& a) { return a == "--help" || a == "-h"; })) {
            const std::string usage = usageOf(args);
            if (usage != "用法：\n") {
                std::fputs(usage.c_str(), stdout);
                return kExitOk;
            }
        }
        if (command == "serve")
            return serveCommand(args);
        if (command == "release")
            return releaseCommand(args);
        if (command == "key")
            return keyCommand(args);
        if (command == "comments")
            return commentsCommand(args);
        if (command == "notify")
            return notifyCommand(args);
        if (command == "backup")
            return backupCommand(args);
        if (command == "restore")
            return restoreCommand(args);
        if (command == "audit")
            return auditCommand(args);
        if (command == "admin-url")
            return adminUrlCommand(args);
        if (command == "--version") {
            if (args.size() > 1)
                throw UsageError{"多余的参数：" + args[1]};
            // As the tool's caption shows it, whatever the locale's decimal point.
            char version[16];
            const auto end = std::to_chars(version, version + sizeof version, CURRENT_VERSION,
                                           std::chars_format::fixed, 2)
                                 .ptr;
            say(stdout, "pelvoran-server " + std::string(version, end));
            return kExitOk;
        }
        if (command == "--help" || command == "help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        throw UsageError{command.empty() ? "缺少命令" : "未知命令：" + command};
    });
}

int runProgram(const std::vector<std::string>& args) {
    // Comments, the admin token and backups are the owner's alone, whoever
    // starts the program and with whatever mask.
    ::umask(077);
    std::setlocale(LC_ALL, "");
    return runCommandLine(args);
}

} // namespace pelvoran::server
