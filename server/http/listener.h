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

/// A listening TCP socket, closed with this object.
class ListenSocket {
public:
    ListenSocket() = default;
    ~ListenSocket();
    ListenSocket(ListenSocket&& other) noexcept;
    ListenSocket& operator=(ListenSocket&& other) noexcept;

    /// Binds `at` and listens (port 0: a free port), before any change of
    /// user, so that a privileged port can be taken. An IPv6 socket also
    /// takes IPv4 clients (as ::ffff:a.b.c.d) unless `v6only`. Throws
    /// std::runtime_error with a message that names the address.
    static ListenSocket bind(const Endpoint& at, bool v6only = false);
    /// Takes over a socket that listens already (one passed by systemd).
    /// Throws std::runtime_error when `fd` is not a listening TCP socket.
    static ListenSocket adopt(int fd);

    int fd() const { return fd_; }
    bool v6() const { return v6_; }
    /// "HOST:PORT" with the port actually bound.
    const std::string& shown() const { return shown_; }
    /// Hands the socket over: this object no longer closes it.
    int release();

private:
    int fd_ = -1;
    bool v6_ = false;
    std::string shown_;
};

} // namespace pelvoran::server
