#pragma once

#include "server/http/listener.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pelvoran::server {

/// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // at run time
inline constexpr int kExitUsage = 2;   // a usage error or refused input

/// A usage error or refused input: the message names the option or field at
/// fault. Input that was refused does not need the usage repeated.
struct UsageError {
    std::string message;
    bool showUsage = true;
};

struct Parsed {
    std::vector<std::string> words; // the command and its operands
    std::map<std::string, std::string> options;
    /// The options that may be given more than once, each value in order.
    std::map<std::string, std::vector<std::string>> repeated;
};

void say(std::FILE* to, const std::string& line);

/// `repeatable` names the known options that may be given more than once.
Parsed parse(const std::vector<std::string>& args, const std::set<std::string>& known,
             const std::set<std::string>& repeatable = {});

std::string optionOr(const Parsed& p, const std::string& name, const std::string& fallback);

unsigned number(const Parsed& p, const std::string& name, unsigned fallback, unsigned max);

/// A number of bytes: digits, then optionally K or M (1024, 1024²).
std::uint64_t byteSize(const Parsed& p, const std::string& name, std::uint64_t fallback);

Endpoint endpoint(const Parsed& p, const std::string& name, const Endpoint& fallback);
/// Every value of a repeatable address option; `fallback` when none is given.
std::vector<Endpoint> endpoints(const Parsed& p, const std::string& name, const Endpoint& fallback);

/// Local midnight of --since "YYYY-MM-DD"; nullopt when it is not given.
std::optional<std::chrono::sys_seconds> since(const Parsed& p);

void expectWords(const Parsed& p, std::size_t n);

/// Runs a command, reporting what it throws as every command does: the
/// message, the usage where it helps; the exit status.
int reported(const std::function<int()>& run);

/// A private key file, refused (UsageError naming `option`) when it cannot
/// be read or is no key of ours.
std::string readPrivateKeyFile(const std::string& path, const std::string& option);

/// `key create [FILE] [--state DIR]`, `key show [--state DIR]`.
int keyCommand(const std::vector<std::string>& args);

/// `release show|set|sign|clear`.
int releaseCommand(const std::vector<std::string>& args);

/// `comments list|export|delete`.
int commentsCommand(const std::vector<std::string>& args);

/// `notify add|list|remove|test`.
int notifyCommand(const std::vector<std::string>& args);

/// `backup FILE [--state DIR]`.
int backupCommand(const std::vector<std::string>& args);

/// `restore FILE [--state DIR]`.
int restoreCommand(const std::vector<std::string>& args);

class Database;
enum class Platform;

/// `release history`: every publish and clear of `platform` in `db`, newest
/// first.
int releaseHistoryCommand(Database& db, Platform platform);

/// `audit list [--state DIR] [--limit N]`.
int auditCommand(const std::vector<std::string>& args);

} // namespace pelvoran::server
