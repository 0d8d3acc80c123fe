// The loopback test server: the replies, the reading of a request and the
// behaviours. The socket calls are in loopback_server_posix.cpp and
// loopback_server_win.cpp, one of which each build links.
#include "tests/support/loopback_server.h"

#include <stdexcept>

namespace pelvoran::test {
namespace {

constexpr std::size_t kMaxHead = 1 << 20;
/// How often a waiting server looks whether it is to stop: each server a
/// test ends costs up to this much.
constexpr std::chrono::milliseconds kStopCheck(5);

} // namespace

LoopbackServer::LoopbackServer(ServerBehaviour behaviour, int port)
    : port_(port), behaviour_(std::move(behaviour)) {
    listenFd_ = bindLoopback(port_);
    if (!startListening(listenFd_)) {
        closeSocket(listenFd_);
        throw std::runtime_error("listen");
    }
    thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
    stop_ = true;
    thread_.join();
    closeSocket(listenFd_);
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
    closeSocket(bindLoopback(port)); // bound but never listening: the port is free and refuses
    return port;
}

bool LoopbackServer::sendAll(int fd, const char* data, std::size_t size) const {
    while (size > 0 && !stop_) {
        const long n = sendSome(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return size == 0;
}

void LoopbackServer::serve() {
    while (!stop_) {
        if (!waitReadable(listenFd_, kStopCheck))
            continue;
        const int fd = acceptOne(listenFd_);
        if (fd < 0)
            continue;
        handle(fd);
        closeSocket(fd);
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
        if (!waitReadable(fd, kStopCheck))
            continue;
        const long n = receiveSome(fd, buf, sizeof buf);
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
        const std::size_t index = requests_.size();
        requests_.push_back({data.substr(0, headEnd + 4), data.substr(headEnd + 4, bodyLength)});
        behaviour = behaviour_;
        if (index < behaviour.firstReplies.size()) {
            behaviour.reply = behaviour.firstReplies[index];
            behaviour.mode = ServerBehaviour::Mode::Reply;
        }
    }

    switch (behaviour.mode) {
    case ServerBehaviour::Mode::Reply:
        sendAll(fd, behaviour.reply.data(), behaviour.reply.size());
        endReply(fd);
        break;
    case ServerBehaviour::Mode::Silent:
        // Hold the connection until the client gives up or the server stops.
        while (!stop_) {
            if (waitReadable(fd, kStopCheck) && receiveSome(fd, buf, sizeof buf) <= 0)
                break;
        }
        break;
    case ServerBehaviour::Mode::Drip:
        for (const char c : behaviour.reply) {
            if (!sendAll(fd, &c, 1))
                break;
            // One byte a second.
            for (auto waited = std::chrono::milliseconds(0);
                 waited < std::chrono::seconds(1) && !stop_; waited += kStopCheck)
                std::this_thread::sleep_for(kStopCheck);
        }
        break;
    case ServerBehaviour::Mode::Reset:
        sendAll(fd, behaviour.reply.data(), behaviour.reply.size());
        resetOnClose(fd);
        break;
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
