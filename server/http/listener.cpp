#include "server/http/listener.h"

#include "server/http/http_texts.h"
#include "server/support/error_text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace pelvoran::server {
namespace {

std::string shownEndpoint(const std::string& host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace

std::optional<Endpoint> parseEndpoint(std::string_view text) {
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const auto close = text.find("]:");
        if (close == std::string_view::npos)
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon)
            return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535)
        return std::nullopt;
    return Endpoint{std::string(host), static_cast<std::uint16_t>(value)};
}

ListenSocket::~ListenSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

ListenSocket::ListenSocket(ListenSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), v6_(other.v6_), shown_(std::move(other.shown_)) {}

ListenSocket& ListenSocket::operator=(ListenSocket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        v6_ = other.v6_;
        shown_ = std::move(other.shown_);
    }
    return *this;
}

int ListenSocket::release() {
    return std::exchange(fd_, -1);
}

ListenSocket ListenSocket::adopt(int fd) {
    ListenSocket s;
    s.fd_ = fd;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    int type = 0;
    int listening = 0;
    socklen_t intLength = sizeof type;
    const bool stream =
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &intLength) == 0 && type == SOCK_STREAM &&
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &intLength) == 0 && listening != 0;
    if (!stream || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        (local.ss_family != AF_INET && local.ss_family != AF_INET6))
        throw std::runtime_error(http_text::notListeningSocket(fd));
    s.v6_ = local.ss_family == AF_INET6;
    char host[INET6_ADDRSTRLEN] = {};
    std::uint16_t port = 0;
    if (s.v6_) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&local);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    } else {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&local);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    }
    // The library expects a socket that never blocks.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    s.shown_ = shownEndpoint(host, port);
    return s;
}

ListenSocket ListenSocket::bind(const Endpoint& at, bool v6only) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(at.port);
    if (getaddrinfo(at.host.c_str(), port.c_str(), &hints, &list) != 0 || list == nullptr)
        throw std::runtime_error(http_text::cannotResolve(at.host));
    ListenSocket s;
    s.v6_ = list->ai_family == AF_INET6;
    s.fd_ = ::socket(list->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    // Set either way: the system's default (net.ipv6.bindv6only) differs.
    const int only = v6only ? 1 : 0;
    const bool bound =
        s.fd_ >= 0 && ::setsockopt(s.fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        (!s.v6_ || ::setsockopt(s.fd_, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) == 0) &&
        ::bind(s.fd_, list->ai_addr, list->ai_addrlen) == 0 && ::listen(s.fd_, 1024) == 0;
    const int error = errno;
    freeaddrinfo(list);
    const std::string where = shownEndpoint(at.host, at.port);
    if (!bound) {
        std::string why = systemErrorText(error);
        if (error == EADDRINUSE)
            why = http_text::kPortInUse;
        else if (error == EACCES)
            why = http_text::kPortNeedsRoot;
        throw std::runtime_error(http_text::cannotListen(where, why));
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    std::uint16_t boundPort = at.port;
    if (::getsockname(s.fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        boundPort = ntohs(local.ss_family == AF_INET6
                              ? reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port
                              : reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    s.shown_ = shownEndpoint(at.host, boundPort);
    return s;
}

} // namespace pelvoran::server
