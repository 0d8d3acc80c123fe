// What the server keeps when it is stopped or killed, and what slow
// connections cannot take from it.
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <map>
#include <poll.h>
#include <random>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace pelvoran::test;
using namespace std::chrono_literals;

namespace {

/// Where a server started meanwhile says how it goes, as it tells systemd:
/// a socket of the test's own named in $NOTIFY_SOCKET while it lives.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path)
        : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        path.copy(at.sun_path, sizeof at.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            throw std::runtime_error("cannot listen on " + path);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    /// Whether a message that says `what` ("STOPPING=1") comes within `limit`.
    bool says(const std::string& what, std::chrono::milliseconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0 &&
                std::string(buf, static_cast<std::size_t>(n)).find(what) != std::string::npos)
                return true;
        }
        return false;
    }

private:
    int fd_;
};

} // namespace

// SIGTERM lets a comment in flight finish: it is answered and stored, and
// the server then ends with status 0. A connection idle between requests (a
// browser keeps one open) is closed at once, not waited for.
TEST(ServerDurability, SigtermFinishesTheRequestInFlight) {
    const TempDir state;
    const TempDir work;
    const NotifySocket notify(work.path() + "/notify");
    ServerProcess server(state.path());
    const timeval limit{10, 0};
    const int idle = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(idle, 0);
    ASSERT_EQ(statusOf(exchangeOn(idle, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 10s)), 200);

    // The server has the request once it asks for the body.
    const std::string body = "CommentText=in flight";
    const std::string request = post(kComment, body, "Expect: 100-continue\r\n");
    const std::string head = request.substr(0, request.size() - body.size());
    const int fd = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(fd, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(head.size()));
    char buf[4096];
    const ssize_t asked = ::recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(asked, 0);
    ASSERT_EQ(statusOf(std::string(buf, static_cast<std::size_t>(asked))), 100);
    ::kill(server.pid(), SIGTERM);
    ASSERT_TRUE(notify.says("STOPPING=1", 10s)) << "the end never began";
    const std::string reply = exchangeOn(fd, body, 10s);
    ::close(fd);
    EXPECT_EQ(statusOf(reply), 200) << reply;

    // The end waits up to five seconds for requests in flight; the idle
    // connection closes well before.
    const timeval shortLimit{3, 0};
    ::setsockopt(idle, SOL_SOCKET, SO_RCVTIMEO, &shortLimit, sizeof shortLimit);
    EXPECT_EQ(::recv(idle, buf, sizeof buf, 0), 0) << "the idle connection was kept open";
    ::close(idle);
    EXPECT_EQ(server.stop(SIGTERM), 0);
    EXPECT_EQ(exported(state.path()), std::vector<std::string>{"in flight"});
}

// Clients post while the server is killed at random moments: every comment
// that got 200 is there after the restart, whole, exactly once.
TEST(ServerDurability, NothingAnsweredIsLostWhenKilled) {
    const TempDir state;
    std::mt19937 random(20261207);
    std::set<std::string> acknowledged;
    std::set<std::string> sent;
    for (int round = 0; round < 4; ++round) {
        ServerProcess server(state.path(), {"--comments-per-hour", "0"});
        const PostedUntilKilled posted = postUntilKilled(server, random, 4, [&](int k, int i) {
            return "第" + std::to_string(round) + "轮 " + std::to_string(k) + "-" +
                   std::to_string(i) + std::string(100 + i % 50, 'x');
        });
        sent.insert(posted.sent.begin(), posted.sent.end());
        acknowledged.insert(posted.acknowledged.begin(), posted.acknowledged.end());
    }
    const auto texts = exported(state.path());
    std::map<std::string, int> seen;
    for (const auto& t : texts)
        ++seen[t];
    for (const auto& t : acknowledged)
        EXPECT_EQ(seen[t], 1) << t;
    for (const auto& [t, n] : seen) {
        EXPECT_EQ(n, 1) << t;
        EXPECT_TRUE(sent.contains(t)) << "not a comment that was sent: " << t;
    }
    EXPECT_GT(acknowledged.size(), 20u) << "too few comments to show anything";
}

// Hundreds of slow connections from several addresses never keep an update
// check from being answered: it is answered while every one of them is
// still held (their heads' deadline is far off). How soon is the
// benchmark's (bench/server/slow_clients.sh).
TEST(ServerHostile, SlowConnectionsDoNotStarveTheUpdateCheck) {
    const TempDir state;
    ServerProcess server(state.path(), {"--head-timeout", "600"});
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i) {
        const int fd = connectFrom(server.port(), "127.0.0." + std::to_string(2 + i % 10));
        ASSERT_GE(fd, 0);
        ::send(fd, "GET /Canon/LensCheck.asp HTTP/1.1\r\nX-Slow: ", 44, MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    const std::string reply = httpExchange(server.port(), updateQuestion(), 60s);
    EXPECT_EQ(statusOf(reply), 200);
    std::size_t held = 0;
    for (const int fd : slow) {
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        held += ::poll(&p, 1, 0) == 0;
    }
    EXPECT_EQ(held, slow.size()) << "answered only once slow connections were cut";
    for (const int fd : slow)
        ::close(fd);
    EXPECT_EQ(server.stop(SIGTERM), 0);
}
