// The site without sockets: what it answers to update checks and comments;
// the daemon without a process, on listeners of the test's own.
#include "server/admin/admin_site.h"
#include "server/admin/metrics.h"
#include "server/daemon/answer_desk.h"
#include "server/daemon/serve.h"
#include "server/daemon/site.h"
#include "server/http/download.h"
#include "server/http/handler.h"
#include "server/http/http_listener.h"
#include "server/http/limits.h"
#include "server/http/routes.h"
#include "server/release/release_reply.h"
#include "server/release/release_signing.h"
#include "server/store/comment_writer.h"
#include "server/store/field_counter.h"
#include "server/store/store.h"
#include "server/support/state_files.h"
#include "server/upkeep/health.h"
#include "tests/support/raw_database.h"
#include "tests/support/server_process.h"

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace pelvoran;
using namespace pelvoran::server;
using namespace std::chrono_literals;

// The site answers without sockets: the update check from the published
// release, counted for GET only; a comment once durable; the limit; each
// counted for /metrics.
TEST(Site, AnswersUpdateChecksAndComments) {
    const test::TempDir dir;
    const std::string path = dir.path() + "/comments.sqlite";
    FieldCounter use;
    ReleaseReply reply;
    reply.set(Release{u"1.07", u"http://x.cn/a.exe", u"2026-12-01", u"说明"});
    RateLimiter limiter(1, 0);
    CommentWriter writer(path);
    Metrics metrics;
    DatabaseHealth health(dir.path());
    AdminSite admin(dir.path(), use, metrics, "");
    AnswerDesk answers(path, createSigningKey().privatePem);
    RateLimiter answerLimiter(2, 0);
    Site site({use, reply, limiter, writer, admin, metrics, health, answers, answerLimiter});
    auto ask = [&](const char* method, const char* url, const std::string& body = "") {
        Incoming in;
        in.match = findRoute(false, method, url);
        in.request.method = method;
        in.request.path = url;
        in.request.body = body;
        in.client = "203.0.113.5";
        std::promise<WebResponse> later;
        auto now = site.answer(in, [&](WebResponse w) { later.set_value(std::move(w)); });
        return now ? *now : later.get_future().get();
    };
    const WebResponse check = ask("GET", "/Canon/LensCheck.asp");
    EXPECT_EQ(check.body,
              replyBody(Release{u"1.07", u"http://x.cn/a.exe", u"2026-12-01", u"说明"}));
    ask("HEAD", "/Canon/LensCheck.asp");
    std::int64_t counted = 0;
    for (const auto& [day, n] : checksPerDay(use.pending().field))
        counted += n;
    EXPECT_EQ(counted, 1) << "HEAD is not a tool's check";
    EXPECT_EQ(metrics.offers(), (Metrics::Series{{{"1.07", "windows"}, 1}}))
        << "a tool that sends no version is offered the release, as a Windows tool";

    EXPECT_EQ(ask("POST", "/Canon/comment.asp", "CommentText=%BE%B5").status, 200u);
    EXPECT_EQ(test::RawDatabase(path).count(), 1) << "answered 200 before it was stored";
    EXPECT_EQ(ask("POST", "/Canon/comment.asp", "CommentText=again").status, 429u);
    EXPECT_EQ(ask("POST", "/Canon/comment.asp", "Text=x").status, 400u);
    EXPECT_EQ(ask("GET", "/Canon/comment.asp").status, 405u);
    EXPECT_EQ(ask("GET", "/nothing").status, 404u);
    // The answers' own limit: a comment refused leaves the fetches theirs.
    EXPECT_EQ(ask("POST", "/answers", "AAAAAAAAAAAAAAAAAAAAAA\nshort").status, 400u);
    const WebResponse none = ask("POST", "/answers", "AAAAAAAAAAAAAAAAAAAAAA\n");
    EXPECT_EQ(none.status, 200u);
    EXPECT_EQ(none.body, "");
    EXPECT_EQ(ask("POST", "/answers", "AAAAAAAAAAAAAAAAAAAAAA").status, 429u);
    // The lookup page's reply codes count against the same allowance.
    EXPECT_EQ(ask("POST", "/reply", "code=0000-0000-0000-0000").status, 429u);
    health.lookNow(); // the probe's round
    EXPECT_EQ(ask("GET", "/healthz").status, 200u);
    EXPECT_EQ(metrics.updateChecks(), 1u);
    EXPECT_EQ(metrics.commentsStored(), 1u);
    EXPECT_EQ(metrics.refusals(),
              (std::map<unsigned, std::uint64_t>{{400, 1}, {413, 0}, {429, 1}, {503, 0}}));
    writer.close();
}

// On a real listener, a download is counted in the library's completion
// callback, with the client's network, once a GET's answer carrying the
// whole file went out whole: never for HEAD, a 416, a range that leaves a
// byte out, or a reader that went away midway.
TEST(Site, DownloadsAreCountedWhenTheWholeFileWentOut) {
    const test::TempDir dir;
    const std::string copy = dir.path() + "/file";
    // Larger than what the kernel may buffer on the server's side, so that
    // a reader that goes is seen by the library.
    std::size_t sendBuffer = 4 * 1024 * 1024;
    std::ifstream("/proc/sys/net/ipv4/tcp_wmem") >> sendBuffer >> sendBuffer >> sendBuffer;
    const std::size_t kSize = 2 * sendBuffer + 1024 * 1024;
    std::ofstream(copy, std::ios::binary) << std::string(kSize, 'p');
    FieldCounter use;
    ReleaseReply reply;
    RateLimiter limiter(1, 0);
    CommentWriter writer(dir.path() + "/comments.sqlite");
    Metrics metrics;
    DatabaseHealth health(dir.path());
    AdminSite admin(dir.path(), use, metrics, "");
    AnswerDesk answers(dir.path() + "/comments.sqlite", createSigningKey().privatePem);
    RateLimiter answerLimiter(1, 0);
    DownloadShelf shelf;
    shelf.set({{{Platform::Linux, "pelvoran.deb", "abc", static_cast<std::int64_t>(kSize)},
                "1.06",
                copy}});
    std::mutex mutex;
    std::vector<std::string> counted;
    Site site({use, reply, limiter, writer, admin, metrics, health, answers, answerLimiter, &shelf,
               [&](Platform platform, const std::string& version, const std::string& network) {
                   const std::lock_guard lock(mutex);
                   counted.push_back(std::string(platformName(platform)) + " " + version +
                                     (network.empty() ? " from nowhere" : ""));
               }});
    ConnectionGuard guard({});
    ListenSocket socket = ListenSocket::bind({"127.0.0.1", 0});
    const std::string shown = socket.shown();
    const int port = std::stoi(shown.substr(shown.rfind(':') + 1));
    HttpListener listener(std::move(socket), {}, site, guard);
    const auto ask = [&](const std::string& method, const std::string& headers) {
        return test::statusOf(
            test::httpExchange(port, method +
                                         " /download/linux/1.06/pelvoran.deb HTTP/1.1\r\n"
                                         "Host: x\r\nConnection: close\r\n" +
                                         headers + "\r\n"));
    };
    const auto settled = [&] { // every connection closed: each request's end is known
        for (int i = 0; i < 200 && guard.open() > 0; ++i)
            std::this_thread::sleep_for(50ms);
        const std::lock_guard lock(mutex);
        return counted;
    };
    EXPECT_EQ(ask("GET", ""), 200);
    EXPECT_EQ(settled(), std::vector<std::string>{"linux 1.06"});
    EXPECT_EQ(ask("HEAD", ""), 200);
    EXPECT_EQ(ask("GET", "Range: bytes=" + std::to_string(kSize) + "-\r\n"), 416);
    EXPECT_EQ(ask("GET", "Range: bytes=0-0\r\n"), 206);
    // A reader with a small window that takes a little and goes.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string head = "GET /download/linux/1.06/pelvoran.deb HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(head.size()));
    char some[1024];
    EXPECT_GT(::recv(fd, some, sizeof some, 0), 0);
    ::close(fd);
    EXPECT_EQ(settled(), std::vector<std::string>{"linux 1.06"});
    EXPECT_EQ(ask("GET", "Range: bytes=-1\r\n"), 206);
    EXPECT_EQ(ask("GET", "Range: bytes=1-\r\n"), 206);
    EXPECT_EQ(settled(), std::vector<std::string>{"linux 1.06"});
    EXPECT_EQ(ask("GET", "Range: bytes=0-\r\n"), 206);
    EXPECT_EQ(settled(), (std::vector<std::string>{"linux 1.06", "linux 1.06"}));
    writer.close();
}

// Started on port 0, a daemon answers at once; a step picks up the release
// another connection published, and the step a minute of its clock after the
// first writes out the update checks counted (a minute again after the clock
// was set back), as the end writes the rest; after the end, nothing listens.
TEST(Daemon, StepsPickUpTheReleaseAndTheMinutesCountsUntilTheEnd) {
    const test::TempDir dir;
    ServeOptions options;
    options.stateDir = dir.path();
    ListenSocket publicSocket = ListenSocket::bind({"127.0.0.1", 0});
    ListenSocket adminSocket = ListenSocket::bind({"127.0.0.1", 0});
    const std::string shown = publicSocket.shown();
    const int port = std::stoi(shown.substr(shown.rfind(':') + 1));
    const std::string admin = adminSocket.shown();
    std::vector<ListenSocket> publicSockets;
    publicSockets.push_back(std::move(publicSocket));
    SettableClock clock(Clock::system().now());
    Daemon daemon(options, clock);
    ASSERT_TRUE(daemon.start(std::move(publicSockets), std::move(adminSocket)));
    EXPECT_EQ(test::fileBytes(dir.path() + "/" + kAdminAddressFile), admin + "\n");

    const auto check = [&] {
        return test::bodyOf(test::httpExchange(port, test::updateQuestion()));
    };
    const auto counted = [&] {
        std::int64_t n = 0;
        for (const auto& [day, checks] :
             Database(databasePath(dir.path())).field().checksSince(std::chrono::local_days{}))
            n += checks;
        return n;
    };
    EXPECT_EQ(check(), "") << "no release is published yet";
    const Release release{u"1.07", u"http://x.cn/a.exe", u"2026-12-01", u"说明"};
    Database(databasePath(dir.path())).releases().publish(release, kByCommandLine);
    EXPECT_EQ(check(), "") << "picked up with no step";
    daemon.step();
    EXPECT_EQ(check(), replyBody(release));

    clock.advance(59s);
    daemon.step();
    EXPECT_EQ(counted(), 0) << "written out before the minute was over";
    clock.advance(1s);
    daemon.step();
    EXPECT_EQ(counted(), 3);
    check();
    clock.advance(-1h);
    daemon.step();
    clock.advance(60s);
    daemon.step();
    EXPECT_EQ(counted(), 4) << "not a minute after the clock was set back";
    check();
    daemon.shutdown();
    EXPECT_EQ(counted(), 5) << "the last check was not written out at the end";
    const int after = test::connectFrom(port, "127.0.0.1");
    EXPECT_LT(after, 0) << "still listening after the end";
    if (after >= 0)
        ::close(after);
}
