// The WinHTTP request component against a real server on 127.0.0.1: the
// cases every component passes, and what WinHTTP needs checked on its own.
#include "platform/winhttp/winhttp_request.h"
#include "tests/http_component_cases.h"

#include <windows.h>

#include <psapi.h>

namespace pelvoran::test {

std::unique_ptr<HttpRequest> makeRequest() {
    return winHttpRequestFactory()();
}

std::size_t peakMemoryKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize / 1024;
}

const double kRefusedConnectionSeconds = 3.5;

TEST(WinHttpComponent, RefusesAnAddressThatIsNotHttp) {
    auto r = makeRequest();
    r->Open("GET", u"ftp://127.0.0.1/", false);
    EXPECT_THROW(r->send(), StepError);
}

TEST(WinHttpComponent, StatusOtherThan200IsAReplyNotAFailure) {
    LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(404, "gone")});
    auto r = makeRequest();
    r->Open("GET", url(server, "/"), false);
    r->send();
    EXPECT_EQ(r->readyState(), 4);
    EXPECT_EQ(r->Status(), 404);
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

} // namespace pelvoran::test
