// The loopback test server on Winsock: the same server as the POSIX one, on
// 127.0.0.1 only, every wait bounded.
#include "tests/support/loopback_server.h"

#include <stdexcept>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace pelvoran::test {
namespace {

constexpr std::size_t kMaxHead = 1 << 20;

SOCKET toSocket(int fd) {
    return static_cast<SOCKET>(fd);
}

// Socket handles are small kernel handle values; the server keeps them in
// the int fields of the shared header.
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

int bindLoopback(int& port) {
    startWinsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        throw std::runtime_error("bind");
    }
    int len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fromSocket(s);
}

} // namespace

LoopbackServer::LoopbackServer(ServerBehaviour behaviour) : behaviour_(std::move(behaviour)) {
    listenFd_ = bindLoopback(port_);
    if (listen(toSocket(listenFd_), 16) != 0)
        throw std::runtime_error("listen");
    thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
    stop_ = true;
    thread_.join();
    closesocket(toSocket(listenFd_));
}

std::string LoopbackServer::base() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void LoopbackServer::setBehaviour(ServerBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    behaviour_ = std::move(behaviour);
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::string LoopbackServer::reply(int status, const std::string& body,
                                  const std::string& contentType, const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
           extraHeaders + "\r\n" + body;
}

int LoopbackServer::refusedPort() {
    int port = 0;
    const int fd = bindLoopback(port);
    closesocket(toSocket(fd)); // bound but never listening: the port is free and refuses
    return port;
}

bool LoopbackServer::waitReadable(int fd, std::chrono::milliseconds timeout) const {
    WSAPOLLFD p{toSocket(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, static_cast<INT>(timeout.count())) > 0;
}

bool LoopbackServer::sendAll(int fd, const char* data, std::size_t size) const {
    while (size > 0 && !stop_) {
        const int chunk = static_cast<int>(size < (1u << 20) ? size : (1u << 20));
        const int n = ::send(toSocket(fd), data, chunk, 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return size == 0;
}

void LoopbackServer::serve() {
    while (!stop_) {
        if (!waitReadable(listenFd_, std::chrono::milliseconds(50)))
            continue;
        const SOCKET s = accept(toSocket(listenFd_), nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        handle(fromSocket(s));
        closesocket(s);
    }
}

void LoopbackServer::handle(int fd) {
    // Read the head, then as many body bytes as Content-Length says.
    std::string data;
    std::size_t headEnd = std::string::npos;
    std::size_t bodyLength = 0;
    char buf[8192];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + bodyLength)
            break;
        if (!waitReadable(fd, std::chrono::milliseconds(50)))
            continue;
        const int n = recv(toSocket(fd), buf, sizeof buf, 0);
        if (n <= 0)
            return;
        data.append(buf, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos) {
            headEnd = data.find("\r\n\r\n");
            if (headEnd == std::string::npos && data.size() > kMaxHead)
                return;
            if (headEnd != std::string::npos) {
                const std::string head = data.substr(0, headEnd + 2);
                for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"}) {
                    const auto at = head.find(name);
                    if (at != std::string::npos)
                        bodyLength = std::stoul(head.substr(at + std::string(name).size()));
                }
            }
        }
    }
    if (headEnd == std::string::npos)
        return;

    ServerBehaviour behaviour;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back({data.substr(0, headEnd + 4), data.substr(headEnd + 4, bodyLength)});
        behaviour = behaviour_;
    }

    switch (behaviour.mode) {
    case ServerBehaviour::Mode::Reply:
        sendAll(fd, behaviour.reply.data(), behaviour.reply.size());
        shutdown(toSocket(fd), SD_SEND);
        break;
    case ServerBehaviour::Mode::Silent:
        // Hold the connection until the client gives up or the server stops.
        while (!stop_) {
            if (waitReadable(fd, std::chrono::milliseconds(50)) &&
                recv(toSocket(fd), buf, sizeof buf, 0) <= 0)
                break;
        }
        break;
    case ServerBehaviour::Mode::Drip:
        for (const char c : behaviour.reply) {
            if (!sendAll(fd, &c, 1))
                break;
            for (int i = 0; i < 20 && !stop_; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        break;
    case ServerBehaviour::Mode::Reset: {
        sendAll(fd, behaviour.reply.data(), behaviour.reply.size());
        const linger abortive{1, 0}; // close with RST instead of FIN
        setsockopt(toSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                   sizeof abortive);
        break;
    }
    case ServerBehaviour::Mode::Endless: {
        if (!sendAll(fd, behaviour.reply.data(), behaviour.reply.size()))
            break;
        const std::string chunk(64 << 10, 'x');
        for (std::size_t sent = 0; sent < behaviour.endlessBytes && !stop_; sent += chunk.size()) {
            if (!sendAll(fd, chunk.data(), chunk.size()))
                break;
        }
        break;
    }
    }
}

} // namespace pelvoran::test
