// The cases every HTTP request component passes, against a real server on
// 127.0.0.1. A component's suite includes this file once, after defining in
// pelvoran::test:
//   HttpRequestFactory componentFactory(HttpLimits); // its component's requests
//   std::size_t peakMemoryKiB();                     // the process's peak so far
//   extern const double kRefusedConnectionSeconds;   // how soon a refusal fails
//   extern const char kAgentPlatform[];              // "Linux" or "Windows"
#pragma once

#include "platform/errors.h"
#include "platform/http_request.h"
#include "tests/support/agent_line.h"
#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace pelvoran::test {

HttpRequestFactory componentFactory(HttpLimits limits);
std::size_t peakMemoryKiB();
extern const double kRefusedConnectionSeconds;
extern const char kAgentPlatform[];

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/// The cases' own limits: a server that never finishes costs them half a
/// second rather than the five seconds the tool grants.
constexpr milliseconds kShortTotal{500};

HttpLimits shortLimits() {
    HttpLimits limits;
    limits.connectTimeout = milliseconds(1000);
    limits.totalTimeout = kShortTotal;
    return limits;
}

/// Limits no case about replies or redirects reaches on a loaded machine
/// (six requests under wine took more than the short half second).
HttpLimits roomyLimits() {
    HttpLimits limits = shortLimits();
    limits.totalTimeout = milliseconds(30000);
    return limits;
}

/// A request of the component, under roomy limits unless a case shows a
/// limit (the short ones, or the tool's own).
std::unique_ptr<HttpRequest> makeRequest(const HttpLimits& limits = roomyLimits()) {
    return componentFactory(limits)();
}

Text url(const LoopbackServer& s, const std::string& path) {
    return u16(s.base() + path);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// A request of the component to a server that never answers, under the
/// short limits but a total of `total`: the yardstick a limit is measured
/// against in the same run, whatever the machine's speed.
std::unique_ptr<HttpRequest> silentRequest(const LoopbackServer& silent, milliseconds total) {
    HttpLimits limits = shortLimits();
    limits.totalTimeout = total;
    auto r = makeRequest(limits);
    r->Open("GET", url(silent, "/"), false);
    return r;
}

/// Sends the opened `asked` and `yardstick` at once, each on a thread of its
/// own: both must give up (StepError), `asked` first.
::testing::AssertionResult givesUpBefore(HttpRequest& asked, HttpRequest& yardstick) {
    std::atomic<int> ended{0};
    int askedEnded = 0, yardstickEnded = 0;
    const auto send = [&](HttpRequest& r, int& order) {
        try {
            r.send();
        } catch (const StepError&) {
            order = ++ended;
        }
    };
    std::thread other([&] { send(yardstick, yardstickEnded); });
    send(asked, askedEnded);
    other.join();
    if (askedEnded == 0 || yardstickEnded == 0)
        return ::testing::AssertionFailure()
               << (askedEnded == 0 ? "the request" : "the yardstick") << " did not give up";
    if (askedEnded != 1)
        return ::testing::AssertionFailure() << "the request gave up after the yardstick";
    return ::testing::AssertionSuccess();
}

std::string redirectTo(const std::string& location, int status = 302) {
    return LoopbackServer::reply(status, "", "text/plain", "Location: " + location + "\r\n");
}

/// The head the components send, the agent line aside: the request line,
/// Host and Accept, then the caller's headers (each ending in CRLF).
std::string sentHead(const std::string& requestLine, const LoopbackServer& server,
                     const std::string& callersHeaders = "") {
    return requestLine + "\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
           "\r\nAccept: */*\r\n" + callersHeaders + "\r\n";
}

/// The head as received, with its one agent line (the tool's own) checked
/// and taken out.
std::string headWithoutAgent(const ReceivedRequest& request) {
    std::string head = request.head;
    EXPECT_EQ(takeAgentLines(head), std::vector{expectedAgentLine(kAgentPlatform)}) << request.head;
    return head;
}

struct CharsetCase {
    std::string body;
    std::string contentType;
    Text text;
};

/// Reply bodies and the text each gives by its Content-Type.
const CharsetCase kCharsetCases[] = {
    {"\xE4\xB8\xAD", "text/plain; charset=utf-8", u"中"},
    {"\xE4\xB8\xAD", "text/plain", u"中"},
    {"\xD6\xD0", "text/html; charset=GBK", u"中"},
    {"1.06[;]A[;]2012-12-30[;]\xD0\xDE\xD5\xFD", "text/html; charset=gb2312",
     u"1.06[;]A[;]2012-12-30[;]修正"},
    {"\xE9", "text/plain; charset=ISO-8859-1", u"é"},
};

} // namespace

TEST(HttpComponent, GetSendsTheAddressEscapedOnTheWire) {
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
    EXPECT_EQ(
        headWithoutAgent(server.requests()[0]),
        sentHead("GET /Canon/LensCheck.asp?Action=Check&D=2026/12/7%205:02:03 HTTP/1.1", server));
    r->abort();
    EXPECT_EQ(r->readyState(), 0);
    EXPECT_THROW(r->Status(), StepError);
}

TEST(HttpComponent, PostSendsOneContentLengthAndTheCallersContentType) {
    for (const char* text : {"CommentText=a&b=c", "CommentText=%BE%B5%CD%B7%BA%DC%BA%C3"}) {
        const std::string body = text;
        LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
        const std::string length = std::to_string(body.size());
        auto r = makeRequest();
        r->Open("POST", url(server, "/Canon/comment.asp"), false);
        r->setRequestHeader("Content-Length", length);
        r->setRequestHeader("CONTENT-TYPE", "application/x-www-form-urlencoded");
        r->send(u16(body));
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(headWithoutAgent(server.requests()[0]),
                  sentHead("POST /Canon/comment.asp HTTP/1.1", server,
                           "Content-Length: " + length +
                               "\r\nCONTENT-TYPE: application/x-www-form-urlencoded\r\n"));
        EXPECT_EQ(server.requests()[0].body, body);
        EXPECT_EQ(r->Status(), 200);
    }
}

TEST(HttpComponent, RefusesWhatWouldBreakTheRequest) {
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
    EXPECT_TRUE(server.requests().empty()); // nothing malformed reached the server
}

TEST(HttpComponent, ResponseTextFollowsTheCharset) {
    LoopbackServer server;
    for (const auto& c : kCharsetCases) {
        server.setBehaviour(
            {ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, c.body, c.contentType)});
        auto r = makeRequest();
        r->Open("GET", url(server, "/"), false);
        r->send();
        EXPECT_EQ(r->responseText(), c.text) << c.contentType;
    }
}

// Each limit is kept both ways: never cut short (a lower bound, which no
// machine's slowness breaks), and the request gives up before a request of
// the same kind sent at the same moment with a longer limit does (the
// yardstick). Under the tool's own limits, a refusal fails before a request
// limited to kRefusedConnectionSeconds, at its connection limit, gives up.
TEST(HttpComponent, RefusedConnectionFailsAtOnce) {
    LoopbackServer silent({ServerBehaviour::Mode::Silent, ""});
    auto r = makeRequest(HttpLimits{});
    r->Open("GET", u16("http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort()) + "/"),
            false);
    EXPECT_TRUE(givesUpBefore(*r, *silentRequest(silent, milliseconds(static_cast<long>(
                                                             kRefusedConnectionSeconds * 1000)))));
    EXPECT_NE(r->readyState(), 4);
}

// The one case that waits out the tool's own five seconds.
TEST(HttpComponent, SilentServerGivesUpWithinTheTimeLimit) {
    LoopbackServer server({ServerBehaviour::Mode::Silent, ""}),
        yardstick({ServerBehaviour::Mode::Silent, ""});
    auto r = makeRequest(HttpLimits{});
    r->Open("GET", url(server, "/"), false);
    const auto start = Clock::now();
    EXPECT_TRUE(givesUpBefore(*r, *silentRequest(yardstick, milliseconds(6500))));
    EXPECT_GE(secondsSince(start), 4.5);
}

TEST(HttpComponent, DrippingServerGivesUpWithinTheTimeLimit) {
    LoopbackServer silent({ServerBehaviour::Mode::Silent, ""});
    for (const std::string& reply :
         {LoopbackServer::reply(200, std::string(100, 'x')),
          "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'x')}) {
        // The second one drips its body only: its head is complete at once.
        LoopbackServer server({ServerBehaviour::Mode::Drip, reply});
        auto r = makeRequest(shortLimits());
        r->Open("GET", url(server, "/"), false);
        EXPECT_TRUE(givesUpBefore(*r, *silentRequest(silent, kShortTotal + milliseconds(1500))));
    }
}

// The limits a caller passes are the ones that hold, both ways: the short
// cases rely on it.
TEST(HttpComponent, PassedTimeLimitsAreKept) {
    LoopbackServer server({ServerBehaviour::Mode::Silent, ""}),
        yardstick({ServerBehaviour::Mode::Silent, ""});
    for (const int ms : {250, 750}) {
        HttpLimits limits;
        limits.totalTimeout = milliseconds(ms);
        auto r = makeRequest(limits);
        r->Open("GET", url(server, "/"), false);
        const auto start = Clock::now();
        EXPECT_TRUE(givesUpBefore(*r, *silentRequest(yardstick, milliseconds(ms + 1000)))) << ms;
        EXPECT_GE(Clock::now() - start, milliseconds(ms * 9 / 10)) << ms;
    }
}

TEST(HttpComponent, HugeReplyIsAnErrorAndMemoryStaysBounded) {
    const std::size_t hundredMiB = std::size_t(100) << 20;
    const std::size_t before = peakMemoryKiB();
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
    EXPECT_LT(peakMemoryKiB() - before, 32u * 1024); // far below the 100 MiB offered
}

TEST(HttpComponent, GetFollowsARedirect) {
    LoopbackServer server;
    ServerBehaviour b{ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "1.05")};
    b.firstReplies = {redirectTo("/moved")};
    server.setBehaviour(b);
    auto r = makeRequest();
    r->Open("GET", url(server, "/Canon/LensCheck.asp"), false);
    r->send();
    EXPECT_EQ(r->Status(), 200);
    EXPECT_EQ(r->responseText(), u"1.05");
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_TRUE(server.requests()[1].head.starts_with("GET /moved HTTP/1.1\r\n"));
}

// The reply's headers by name, whatever the case; after a redirect, the
// final reply's alone.
TEST(HttpComponent, ReplyHeadersAreReadByName) {
    LoopbackServer server;
    ServerBehaviour b{ServerBehaviour::Mode::Reply,
                      LoopbackServer::reply(200, "ok", "text/plain",
                                            "Pelvoran-Comment-Number: 1234\r\nX-Empty:\r\n")};
    b.firstReplies = {LoopbackServer::reply(302, "", "text/plain",
                                            "Location: /moved\r\nX-Redirect-Only: yes\r\n")};
    server.setBehaviour(b);
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    r->send();
    ASSERT_EQ(r->Status(), 200);
    struct Case {
        const char* name;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"Pelvoran-Comment-Number", "1234"}, {"pelvoran-comment-number", "1234"},
        {"Content-Type", "text/plain"},      {"X-Empty", ""},
        {"X-Redirect-Only", std::nullopt},   {"Pelvoran-Comment", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(r->getResponseHeader(c.name), c.value) << c.name;
}

TEST(HttpComponent, GetFollowsRedirectsToAnotherServer) {
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

TEST(HttpComponent, RedirectLoopIsAnError) {
    for (const bool absolute : {true, false}) {
        LoopbackServer server;
        server.setBehaviour(
            {ServerBehaviour::Mode::Reply, redirectTo((absolute ? server.base() : "") + "/loop")});
        auto r = makeRequest();
        r->Open("GET", url(server, "/loop"), false);
        EXPECT_THROW(r->send(), StepError);
        EXPECT_EQ(server.requests().size(), 6u) << absolute; // the request and five redirects
    }
}

TEST(HttpComponent, RedirectToAnotherSchemeIsNotFollowed) {
    for (const char* location : {"file:///etc/passwd", "file:///c:/windows/win.ini"}) {
        LoopbackServer server({ServerBehaviour::Mode::Reply, redirectTo(location)});
        auto r = makeRequest();
        r->Open("GET", url(server, "/"), false);
        EXPECT_THROW(r->send(), StepError) << location;
    }
}

// A POST is never replayed: the 3xx answer completes the exchange. A server
// that waits for the body a replayed request announces cannot hold it up.
TEST(HttpComponent, PostTakesARedirectAsItsAnswer) {
    LoopbackServer target({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    LoopbackServer first;
    std::size_t posts = 0;
    for (const int status : {301, 302, 303, 307, 308}) {
        for (const std::string& location : {target.base() + "/", first.base() + "/elsewhere"}) {
            first.setBehaviour({ServerBehaviour::Mode::Reply, redirectTo(location, status)});
            auto r = makeRequest();
            r->Open("POST", url(first, "/Canon/comment.asp"), false);
            r->setRequestHeader("Content-Length", "13");
            r->send(Text(u"CommentText=x"));
            EXPECT_EQ(r->readyState(), 4) << status;
            EXPECT_EQ(r->Status(), status);
            EXPECT_EQ(first.requests().size(), ++posts) << status << location;
        }
    }
    EXPECT_TRUE(target.requests().empty());
}

// A status is a reply; what breaks the exchange or is not HTTP is an error.
TEST(HttpComponent, StatusIsAReplyAndBrokenOrOversizedRepliesAreErrors) {
    std::string bigHead = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 10000; ++i) // 300 KB of headers, over the 256 KiB limit
        bigHead += "X-Filler: 01234567890123456789\r\n";
    struct Case {
        const char* what;
        ServerBehaviour behaviour;
        const char* scheme;
        int status; // 0: send fails
    };
    const Case cases[] = {
        {"404", {ServerBehaviour::Mode::Reply, LoopbackServer::reply(404, "gone")}, "http", 404},
        {"oversized head",
         {ServerBehaviour::Mode::Reply, bigHead + "Content-Length: 2\r\n\r\nok"},
         "http",
         0},
        {"broken off",
         {ServerBehaviour::Mode::Reset,
          "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly a part"},
         "http",
         0},
        {"not http", {ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")}, "ftp", 0},
    };
    for (const Case& c : cases) {
        LoopbackServer server(c.behaviour);
        auto r = makeRequest();
        std::string address = server.base() + "/";
        address.replace(0, 4, c.scheme);
        r->Open("GET", u16(address), false);
        // Whatever the server does, the short limits end the request.
        if (c.status == 0) {
            EXPECT_THROW(r->send(), StepError) << c.what;
        } else {
            r->send();
            EXPECT_EQ(r->readyState(), 4) << c.what;
            EXPECT_EQ(r->Status(), c.status) << c.what;
        }
    }
}

} // namespace pelvoran::test
