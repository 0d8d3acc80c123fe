#include "server/cli/command_line.h"

#include "server/admin/admin_site.h"
#include "server/cli/cli_texts.h"
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

/// The usage of the command `args` begins with (and of its subcommand,
/// when one is named and known): the usage's entries for it, each with the
/// lines that go on from it.
std::string usageOf(const std::vector<std::string>& args) {
    std::vector<std::string> entries;
    std::string_view rest = cli_text::kUsage;
    rest.remove_prefix(rest.find('\n') + 1); // the heading
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
    return cli_text::kUsageHeading + chosen;
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
        throw std::runtime_error(cli_text::noSystemdSockets(systemErrorText(-n)));
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
        throw std::runtime_error((stranger->empty() ? std::string(cli_text::kSystemdUnnamedSocket)
                                                    : cli_text::systemdStrangerSocket(*stranger)) +
                                 cli_text::kSystemdOnlyPublic);
    if (!unusable.empty())
        throw std::runtime_error(cli_text::systemdUnusableSocket(unusable));
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
        throw UsageError{cli_text::badPublicPrefix(o.publicPrefix)};
    o.adminListen = endpoint(p, "--admin-listen", o.adminListen);
    if (const auto it = p.options.find("--trusted-proxy"); it != p.options.end()) {
        o.trustedProxy = ClientAddress::parse(it->second);
        if (!o.trustedProxy)
            throw UsageError{cli_text::kTrustedProxyNotAddress};
    }
    o.commentsPerHour = number(p, "--comments-per-hour", o.commentsPerHour, 1000000);
    o.commentBytesPerHour = byteSize(p, "--comment-bytes-per-hour", o.commentBytesPerHour);
    o.maxConnections = number(p, "--max-connections", o.maxConnections, 100000);
    if (o.maxConnections == 0)
        throw UsageError{cli_text::kNoConnections};
    const auto seconds = [&](const char* name, std::chrono::milliseconds fallback) {
        const unsigned n =
            number(p, name,
                   static_cast<unsigned>(
                       std::chrono::duration_cast<std::chrono::seconds>(fallback).count()),
                   3600);
        if (n == 0)
            throw UsageError{cli_text::underOneSecond(name)};
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
        throw UsageError{cli_text::kServeDatabaseNotPostgres};
    o.adminBaseUrl = optionOr(p, "--admin-base-url", o.adminBaseUrl);
    if (!o.adminBaseUrl.empty() && !isWebAddress(o.adminBaseUrl))
        throw UsageError{cli_text::kAdminBaseUrlNotWeb};
    o.notifyRetry = millis("--notify-retry-ms", o.notifyRetry, 3600000);
    if (o.notifyRetry.count() < 10)
        throw UsageError{cli_text::kNotifyRetryTooShort};
    if (o.bodyBudget < kMaxBody)
        throw UsageError{cli_text::bodyBudgetTooSmall(maxBodyText())};
    // Bound first, while a privileged port can still be taken: preparing
    // the state may switch to its owner.
    // Sockets from systemd come first: the socket unit owns the public
    // addresses, and a restart loses no connection.
    std::vector<ListenSocket> publicSockets = systemdSockets();
    if (publicSockets.empty())
        publicSockets = bindPublic(o.listen);
    else if (p.repeated.contains("--listen"))
        say(stderr, cli_text::kListenIgnored);
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
    if (address.empty())
        throw std::runtime_error(running ? cli_text::adminAddressNotNoted(state.shown)
                                         : cli_text::noServerNoAddress(state.shown));
    std::string code;
    try {
        code = AdminSessions(state.database.empty() ? databasePath(state.path) : state.database)
                   .mint();
    } catch (const StoreError& e) {
        throw std::runtime_error(cli_text::cannotMintSignIn(state.shown, e.what()));
    }
    if (!running)
        say(stderr, cli_text::noServerLastAddress(state.shown));
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
            std::fputs(cli_text::kUsage, stderr);
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
            if (usage != cli_text::kUsageHeading) {
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
                throw UsageError{cli_text::extraArgument(args[1])};
            // As the tool's caption shows it, whatever the locale's decimal point.
            char version[16];
            const auto end = std::to_chars(version, version + sizeof version, CURRENT_VERSION,
                                           std::chars_format::fixed, 2)
                                 .ptr;
            say(stdout, "pelvoran-server " + std::string(version, end));
            return kExitOk;
        }
        if (command == "--help" || command == "help") {
            std::fputs(cli_text::kUsage, stdout);
            return kExitOk;
        }
        throw UsageError{command.empty() ? cli_text::kMissingCommand
                                         : cli_text::unknownCommand(command)};
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
