// The loopback test server's socket calls on POSIX sockets.
#include "tests/support/loopback_server.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace pelvoran::test {

int LoopbackServer::bindLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        throw std::runtime_error("bind");
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

bool LoopbackServer::startListening(int fd) {
    return listen(fd, 16) == 0;
}

int LoopbackServer::acceptOne(int listening) {
    return accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
}

void LoopbackServer::closeSocket(int fd) {
    close(fd);
}

bool LoopbackServer::waitReadable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

long LoopbackServer::receiveSome(int fd, char* buf, std::size_t size) {
    return recv(fd, buf, size, 0);
}

long LoopbackServer::sendSome(int fd, const char* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL);
}

void LoopbackServer::endReply(int) {}

void LoopbackServer::resetOnClose(int fd) {
    const linger abortive{1, 0}; // close with RST instead of FIN
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

} // namespace pelvoran::test
