// The WinHTTP request component against a real server on 127.0.0.1.
#include "platform/errors.h"
#include "platform/winhttp/winhttp_request.h"
#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <windows.h>

#include <psapi.h>

using namespace pelvoran;
using namespace pelvoran::test;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<HttpRequest> makeRequest() {
    return winHttpRequestFactory()();
}

Text url(const LoopbackServer& s, const std::string& path) {
    return u16(s.base() + path);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t peakWorkingSetKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize / 1024;
}

std::string redirectTo(const std::string& location, int status = 302) {
    return LoopbackServer::reply(status, "", "text/plain", "Location: " + location + "\r\n");
}

} // namespace

TEST(WinHttpComponent, GetSendsTheSameRequestAsTheLinuxComponent) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "1.05")});
    auto r = makeRequest();
    EXPECT_EQ(r->readyState(), 0);
    r->Open("GET", url(server, "/Canon/LensCheck.asp?Action=Check&D=2026/12/7 5:02:03"), false);
    EXPECT_EQ(r->readyState(), 1);
    r->send();
    EXPECT_EQ(r->readyState(), 4);
    EXPECT_EQ(r->Status(), 200);
    EXPECT_EQ(r->responseText(), u"1.05");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].head,
              "GET /Canon/LensCheck.asp?Action=Check&D=2026/12/7%205:02:03 HTTP/1.1\r\n"
              "Host: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\r\n"
                  "Accept: */*\r\n\r\n");
    r->abort();
    EXPECT_EQ(r->readyState(), 0);
    EXPECT_THROW(r->Status(), StepError);
}

TEST(WinHttpComponent, PostSendsOneContentLengthAndTheCallersContentType) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    auto r = makeRequest();
    r->Open("POST", url(server, "/Canon/comment.asp"), false);
    r->setRequestHeader("Content-Length", "36");
    r->setRequestHeader("CONTENT-TYPE", "application/x-www-form-urlencoded");
    r->send(Text(u"CommentText=%BE%B5%CD%B7%BA%DC%BA%C3"));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].head,
              "POST /Canon/comment.asp HTTP/1.1\r\n"
              "Host: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\r\n"
                  "Accept: */*\r\n"
                  "Content-Length: 36\r\n"
                  "CONTENT-TYPE: application/x-www-form-urlencoded\r\n\r\n");
    EXPECT_EQ(server.requests()[0].body, "CommentText=%BE%B5%CD%B7%BA%DC%BA%C3");
    EXPECT_EQ(r->Status(), 200);
}

TEST(WinHttpComponent, RefusesWhatWouldBreakTheRequest) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    auto r = makeRequest();
    EXPECT_THROW(r->send(), StepError); // not opened
    EXPECT_THROW(r->setRequestHeader("X", "y"), StepError);
    EXPECT_THROW(r->Open("GET", url(server, "/"), true), StepError); // asynchronous

    r->Open("POST", url(server, "/c"), false);
    EXPECT_THROW(r->setRequestHeader("X-Evil", "a\r\nInjected: 1"), StepError);
    EXPECT_THROW(r->setRequestHeader("Bad:Name", "v"), StepError);
    r->setRequestHeader("Content-Length", "99"); // not the body's byte count
    EXPECT_THROW(r->send(Text(u"short")), StepError);
    EXPECT_EQ(r->readyState(), 1);

    auto other = makeRequest();
    other->Open("GET", u"ftp://127.0.0.1/", false);
    EXPECT_THROW(other->send(), StepError);
    EXPECT_TRUE(server.requests().empty()); // nothing malformed reached the server
}

TEST(WinHttpComponent, ResponseTextFollowsTheCharset) {
    struct Case {
        std::string body;
        std::string contentType;
        Text text;
    };
    const Case cases[] = {
        {"\xE4\xB8\xAD", "text/plain; charset=utf-8", u"中"},
        {"\xE4\xB8\xAD", "text/plain", u"中"},
        {"\xD6\xD0", "text/html; charset=GBK", u"中"},
        {"1.06[;]A[;]2012-12-30[;]\xD0\xDE\xD5\xFD", "text/html; charset=gb2312",
         u"1.06[;]A[;]2012-12-30[;]修正"},
        {"\xE9", "text/plain; charset=ISO-8859-1", u"é"},
    };
    LoopbackServer server;
    for (const auto& c : cases) {
        server.setBehaviour(
            {ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, c.body, c.contentType)});
        auto r = makeRequest();
        r->Open("GET", url(server, "/"), false);
        r->send();
        EXPECT_EQ(r->responseText(), c.text) << c.contentType;
    }
}

TEST(WinHttpComponent, StatusOtherThan200IsAReplyNotAFailure) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(404, "gone")});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    r->send();
    EXPECT_EQ(r->readyState(), 4);
    EXPECT_EQ(r->Status(), 404);
}

TEST(WinHttpComponent, RefusedConnectionFailsAtOnce) {
    auto r = makeRequest();
    r->Open("GET", u16("http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort()) + "/"),
            false);
    const auto start = Clock::now();
    EXPECT_THROW(r->send(), StepError);
    EXPECT_LT(secondsSince(start), 3.5);
    EXPECT_NE(r->readyState(), 4);
}

TEST(WinHttpComponent, SilentServerGivesUpWithinTheTimeLimit) {
    LoopbackServer server({ServerBehaviour::Mode::Silent, ""});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    const auto start = Clock::now();
    EXPECT_THROW(r->send(), StepError);
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 4.5);
    EXPECT_LT(elapsed, 6.5);
}

TEST(WinHttpComponent, DrippingServerGivesUpWithinTheTimeLimit) {
    for (const std::string& reply :
         {LoopbackServer::reply(200, std::string(100, 'x')),
          "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'x')}) {
        // The second one drips its body only: its head is complete at once.
        LoopbackServer server({ServerBehaviour::Mode::Drip, reply});
        auto r = makeRequest();
        r->Open("GET", url(server, "/"), false);
        const auto start = Clock::now();
        EXPECT_THROW(r->send(), StepError);
        EXPECT_LT(secondsSince(start), 6.5);
    }
}

TEST(WinHttpComponent, HugeReplyIsAnErrorAndMemoryStaysBounded) {
    const std::size_t hundredMiB = std::size_t(100) << 20;
    const std::size_t before = peakWorkingSetKiB();
    for (const std::string& head :
         {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(hundredMiB) +
              "\r\nConnection: close\r\n\r\n",
          std::string("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")}) {
        // Announced, and unannounced (ends when the connection closes).
        LoopbackServer server({ServerBehaviour::Mode::Endless, head, hundredMiB});
        auto r = makeRequest();
        r->Open("GET", url(server, "/"), false);
        EXPECT_THROW(r->send(), StepError);
        EXPECT_THROW(r->responseText(), StepError);
    }
    EXPECT_LT(peakWorkingSetKiB() - before, 32u * 1024); // far below the 100 MiB offered
}

TEST(WinHttpComponent, OversizedHeadIsAnError) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 10000; ++i) // 300 KB of headers, over the 256 KiB limit
        head += "X-Filler: 01234567890123456789\r\n";
    LoopbackServer server({ServerBehaviour::Mode::Reply, head + "Content-Length: 2\r\n\r\nok"});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    const auto start = Clock::now();
    EXPECT_THROW(r->send(), StepError);
    EXPECT_LT(secondsSince(start), 6.5);
}

TEST(WinHttpComponent, BrokenReplyIsAnError) {
    LoopbackServer server({ServerBehaviour::Mode::Reset,
                           "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly a part"});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    EXPECT_THROW(r->send(), StepError);
}

TEST(WinHttpComponent, GetFollowsRedirectsToAnotherServer) {
    LoopbackServer target({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "1.06")});
    LoopbackServer first({ServerBehaviour::Mode::Reply, redirectTo(target.base() + "/new?x=1")});
    for (const int status : {301, 302, 303, 307, 308}) {
        first.setBehaviour(
            {ServerBehaviour::Mode::Reply, redirectTo(target.base() + "/new?x=1", status)});
        auto r = makeRequest();
        r->Open("GET", url(first, "/old"), false);
        r->send();
        EXPECT_EQ(r->Status(), 200) << status;
        EXPECT_EQ(r->responseText(), u"1.06") << status;
    }
    ASSERT_EQ(target.requests().size(), 5u);
    EXPECT_TRUE(target.requests()[0].head.starts_with("GET /new?x=1 HTTP/1.1\r\n"));
}

TEST(WinHttpComponent, RedirectLoopIsAnError) {
    LoopbackServer server;
    server.setBehaviour({ServerBehaviour::Mode::Reply, redirectTo("/loop")});
    auto r = makeRequest();
    r->Open("GET", url(server, "/loop"), false);
    EXPECT_THROW(r->send(), StepError);
    EXPECT_EQ(server.requests().size(), 6u); // the request and five redirects
}

TEST(WinHttpComponent, RedirectToAnotherSchemeIsNotFollowed) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, redirectTo("file:///c:/windows/win.ini")});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    EXPECT_THROW(r->send(), StepError);
}

TEST(WinHttpComponent, PostFollowsNoRedirect) {
    LoopbackServer target({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    LoopbackServer first({ServerBehaviour::Mode::Reply, redirectTo(target.base() + "/")});
    for (const int status : {301, 302, 303, 307, 308}) {
        first.setBehaviour({ServerBehaviour::Mode::Reply, redirectTo(target.base() + "/", status)});
        auto r = makeRequest();
        r->Open("POST", url(first, "/Canon/comment.asp"), false);
        r->setRequestHeader("Content-Length", "13");
        r->send(Text(u"CommentText=a"));
        EXPECT_EQ(r->readyState(), 4);
        EXPECT_EQ(r->Status(), status); // the 3xx completes the exchange
    }
    EXPECT_TRUE(target.requests().empty());
    EXPECT_EQ(first.requests().size(), 5u);
}
