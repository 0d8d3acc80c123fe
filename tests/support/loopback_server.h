#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelvoran::test {

/// One request as the server received it.
struct ReceivedRequest {
    std::string head; // request line and headers, CRLF kept, up to the blank line
    std::string body;
};

/// How the server answers.
struct ServerBehaviour {
    enum class Mode {
        Reply,   // send `reply` at once and close
        Silent,  // accept, read the request, never answer
        Drip,    // send `reply` one byte a second
        Endless, // send `reply` (the head), then `endlessBytes` of body bytes
        Reset,   // send `reply`, then reset the connection
    };
    Mode mode = Mode::Reply;
    std::string reply;
    std::size_t endlessBytes = 0;
    /// The first requests get these replies at once, in order, whatever the
    /// mode; the ones after them are served by the mode with `reply`.
    std::vector<std::string> firstReplies = {};
};

/// A small HTTP server on 127.0.0.1, serving one connection at a time on its
/// own thread. Stops and joins when destroyed.
class LoopbackServer {
public:
    /// On a free port, or on `port` when it is not 0 (for a program whose
    /// server address is built in); throws when it cannot listen there.
    explicit LoopbackServer(ServerBehaviour behaviour = {}, int port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    /// "http://127.0.0.1:<port>"
    std::string base() const;
    void setBehaviour(ServerBehaviour behaviour);
    std::vector<ReceivedRequest> requests() const;

    /// A complete HTTP/1.1 reply with Content-Length and Connection: close.
    static std::string reply(int status, const std::string& body,
                             const std::string& contentType = "text/plain; charset=utf-8",
                             const std::string& extraHeaders = "");
    /// A port on 127.0.0.1 where nothing listens: connections are refused.
    static int refusedPort();

private:
    void serve();
    void handle(int fd);
    bool sendAll(int fd, const char* data, std::size_t size) const;

    // The socket calls, in loopback_server_posix.cpp or loopback_server_win.cpp
    // (the build picks one). Sockets are kept as int; receiveSome and
    // sendSome return the byte count, 0 at the end, less on failure.
    static int bindLoopback(int& port); // 127.0.0.1, `port` or a free one (0); throws
    static bool startListening(int fd);
    static int acceptOne(int listening); // -1 when none could be taken
    static void closeSocket(int fd);
    static bool waitReadable(int fd, std::chrono::milliseconds timeout);
    static long receiveSome(int fd, char* buf, std::size_t size);
    static long sendSome(int fd, const char* data, std::size_t size);
    static void endReply(int fd);     // after a whole reply in Reply mode
    static void resetOnClose(int fd); // close with RST instead of FIN

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    ServerBehaviour behaviour_;
    std::vector<ReceivedRequest> requests_;
    std::thread thread_;
};

} // namespace pelvoran::test
