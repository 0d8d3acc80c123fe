// The loopback test server's socket calls on Winsock. Socket handles are
// small kernel handle values; the server keeps them as int.
#include "tests/support/loopback_server.h"

#include <cstdint>
#include <stdexcept>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace pelvoran::test {
namespace {

SOCKET toSocket(int fd) {
    return static_cast<SOCKET>(fd);
}

int fromSocket(SOCKET s) {
    return static_cast<int>(s);
}

void startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("WSAStartup");
}

} // namespace

int LoopbackServer::bindLoopback(int& port) {
    startWinsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket");
    const BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        throw std::runtime_error("bind");
    }
    int len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fromSocket(s);
}

bool LoopbackServer::startListening(int fd) {
    return listen(toSocket(fd), 16) == 0;
}

int LoopbackServer::acceptOne(int listening) {
    const SOCKET s = accept(toSocket(listening), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : fromSocket(s);
}

void LoopbackServer::closeSocket(int fd) {
    closesocket(toSocket(fd));
}

bool LoopbackServer::waitReadable(int fd, std::chrono::milliseconds timeout) {
    WSAPOLLFD p{toSocket(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, static_cast<INT>(timeout.count())) > 0;
}

long LoopbackServer::receiveSome(int fd, char* buf, std::size_t size) {
    return recv(toSocket(fd), buf, static_cast<int>(size), 0);
}

long LoopbackServer::sendSome(int fd, const char* data, std::size_t size) {
    const int chunk = static_cast<int>(size < (1u << 20) ? size : (1u << 20));
    return ::send(toSocket(fd), data, chunk, 0);
}

void LoopbackServer::endReply(int fd) {
    shutdown(toSocket(fd), SD_SEND);
}

void LoopbackServer::resetOnClose(int fd) {
    const linger abortive{1, 0}; // close with RST instead of FIN
    setsockopt(toSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
               sizeof abortive);
}

} // namespace pelvoran::test
