// The libcurl request component against a real server on 127.0.0.1.
#include "platform/curl/curl_http_request.h"
#include "platform/errors.h"
#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/resource.h>

using namespace pelvoran;
using namespace pelvoran::test;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<HttpRequest> makeRequest() {
    return curlHttpRequestFactory()();
}

Text url(const LoopbackServer& s, const std::string& path) {
    return u16(s.base() + path);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long peakRssKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

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

TEST(HttpComponent, UrlForWire) {
    EXPECT_EQ(urlForWire(u"http://h/p?D=2026/1/5 0:00:01"), "http://h/p?D=2026/1/5%200:00:01");
    EXPECT_EQ(urlForWire(u"http://h/镜头"), "http://h/%E9%95%9C%E5%A4%B4");
    EXPECT_EQ(urlForWire(u"http://h/a\tb\r\n\"<>{}|\\^`"),
              "http://h/a%09b%0D%0A%22%3C%3E%7B%7D%7C%5C%5E%60");
    EXPECT_EQ(urlForWire(u"http://h/%41+&="), "http://h/%41+&=");
}

TEST(HttpComponent, PostSendsOneContentLengthAndTheCallersContentType) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "ok")});
    auto r = makeRequest();
    r->Open("POST", url(server, "/Canon/comment.asp"), false);
    r->setRequestHeader("Content-Length", "17");
    r->setRequestHeader("CONTENT-TYPE", "application/x-www-form-urlencoded");
    r->send(Text(u"CommentText=a&b=c"));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].head,
              "POST /Canon/comment.asp HTTP/1.1\r\n"
              "Host: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\r\n"
                  "Accept: */*\r\n"
                  "Content-Length: 17\r\n"
                  "CONTENT-TYPE: application/x-www-form-urlencoded\r\n\r\n");
    EXPECT_EQ(server.requests()[0].body, "CommentText=a&b=c");
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
    struct Case {
        std::string body;
        std::string contentType;
        Text text;
    };
    const Case cases[] = {
        {"\xE4\xB8\xAD", "text/plain; charset=utf-8", u"中"},
        {"\xE4\xB8\xAD", "text/plain", u"中"},
        {"\xD6\xD0", "text/html; charset=GBK", u"中"},
        {"\xD6\xD0", "text/html;charset=\"gb2312\"", u"中"},
        {"\x81\x30\x81\x30", "text/plain; charset=GB18030", u"\u0080"},
        {"\xE9", "text/plain; charset=ISO-8859-1", u"é"},
        {"a\xFF"
         "b\xE4\xB8",
         "text/plain; charset=utf-8", u"a\uFFFDb\uFFFD\uFFFD"},
        {"a\xFF"
         "b\xD6",
         "text/plain; charset=gbk", u"a\uFFFDb\uFFFD"},
        {std::string("a\0b", 3), "text/plain", Text(u"a\0b", 3)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeHttpBody(c.body, c.contentType), c.text) << c.contentType;

    // And through a real exchange.
    LoopbackServer server({ServerBehaviour::Mode::Reply,
                           LoopbackServer::reply(200, "\xD6\xD0", "text/plain; charset=GBK")});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    r->send();
    EXPECT_EQ(r->responseText(), u"中");
}

TEST(HttpComponent, RefusedConnectionFailsAtOnce) {
    auto r = makeRequest();
    r->Open("GET", u16("http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort()) + "/"),
            false);
    const auto start = Clock::now();
    EXPECT_THROW(r->send(), StepError);
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_NE(r->readyState(), 4);
}

TEST(HttpComponent, SilentServerGivesUpWithinTheTimeLimit) {
    LoopbackServer server({ServerBehaviour::Mode::Silent, ""});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    const auto start = Clock::now();
    EXPECT_THROW(r->send(), StepError);
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 4.5);
    EXPECT_LT(elapsed, 6.5);
}

TEST(HttpComponent, DrippingServerGivesUpWithinTheTimeLimit) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Drip, LoopbackServer::reply(200, std::string(100, 'x'))});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    const auto start = Clock::now();
    EXPECT_THROW(r->send(), StepError);
    EXPECT_LT(secondsSince(start), 6.5);
}

TEST(HttpComponent, HugeReplyIsAnErrorAndMemoryStaysBounded) {
    const std::size_t hundredMiB = std::size_t(100) << 20;
    LoopbackServer server({ServerBehaviour::Mode::Endless,
                           "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(hundredMiB) +
                               "\r\nConnection: close\r\n\r\n",
                           hundredMiB});
    const long before = peakRssKiB();
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    EXPECT_THROW(r->send(), StepError);
    EXPECT_THROW(r->responseText(), StepError);
    EXPECT_LT(peakRssKiB() - before, 32 * 1024); // far below the 100 MiB offered
}

TEST(HttpComponent, RedirectLoopIsAnError) {
    LoopbackServer server;
    server.setBehaviour(
        {ServerBehaviour::Mode::Reply,
         LoopbackServer::reply(302, "", "text/plain", "Location: " + server.base() + "/loop\r\n")});
    auto r = makeRequest();
    r->Open("GET", url(server, "/loop"), false);
    EXPECT_THROW(r->send(), StepError);
    EXPECT_LE(server.requests().size(), 6u);
}

TEST(HttpComponent, RedirectToAnotherSchemeIsNotFollowed) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply,
         LoopbackServer::reply(302, "", "text/plain", "Location: file:///etc/passwd\r\n")});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    EXPECT_THROW(r->send(), StepError);
}

// A POST is never replayed: the 3xx answer completes the exchange. A server
// that waits for the body a replayed request announces cannot hold it up.
TEST(HttpComponent, PostTakesARedirectAsItsAnswer) {
    for (const int status : {301, 302, 303, 307, 308}) {
        LoopbackServer server;
        server.setBehaviour(
            {ServerBehaviour::Mode::Reply,
             LoopbackServer::reply(status, "", "text/plain",
                                   "Location: " + server.base() + "/elsewhere\r\n")});
        auto r = makeRequest();
        r->Open("POST", url(server, "/Canon/comment.asp"), false);
        r->setRequestHeader("Content-Length", "13");
        r->send(Text(u"CommentText=x"));
        EXPECT_EQ(r->readyState(), 4) << status;
        EXPECT_EQ(r->Status(), status);
        EXPECT_EQ(server.requests().size(), 1u) << status;
    }
}

TEST(HttpComponent, GetFollowsARedirect) {
    LoopbackServer server;
    ServerBehaviour b{ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "1.05")};
    b.firstReplies = {LoopbackServer::reply(302, "", "text/plain", "Location: /moved\r\n")};
    server.setBehaviour(b);
    auto r = makeRequest();
    r->Open("GET", url(server, "/Canon/LensCheck.asp"), false);
    r->send();
    EXPECT_EQ(r->Status(), 200);
    EXPECT_EQ(r->responseText(), u"1.05");
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_TRUE(server.requests()[1].head.starts_with("GET /moved HTTP/1.1\r\n"));
}
