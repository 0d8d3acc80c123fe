#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server {

struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
};

/// "HOST:PORT" or "[IPv6]:PORT"; nullopt when it is neither.
std::optional<Endpoint> parseEndpoint(std::string_view text);

/// The largest comment body taken.
inline constexpr std::size_t kMaxBody = 1024 * 1024;

struct ServeOptions {
    std::string stateDir;
    Endpoint listen{"127.0.0.1", 8080};
    Endpoint adminListen{"127.0.0.1", 8081};
    /// Requests from this address name the client in X-Forwarded-For.
    std::optional<std::string> trustedProxy;
    /// Comments one address may send in an hour; 0 for no limit.
    unsigned commentsPerHour = 300;
    unsigned maxConnections = 2000;
    /// Connections one address may hold open (not applied behind a proxy).
    unsigned connectionsPerAddress = 64;
    /// A connection that sends nothing for this long is closed.
    unsigned idleSeconds = 15;
};

/// Answers the desktop tool until SIGTERM or SIGINT, then finishes the
/// requests in flight. Prints "listening on HOST:PORT" for its listener
/// first. Returns the exit status.
int serve(const ServeOptions& options);

/// Writes a consistent copy of the database in `stateDir` to the open file
/// `fd`, made with SQLite's online backup, and syncs it.
void backupToFile(const std::string& stateDir, int fd);

} // namespace pelvoran::server
