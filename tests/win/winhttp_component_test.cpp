// The WinHTTP request component against a real server on 127.0.0.1: the
// cases every component passes.
#include "platform/winhttp/winhttp_request.h"
#include "tests/http_component_cases.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include <psapi.h>

namespace pelvoran::test {

HttpRequestFactory componentFactory(HttpLimits limits) {
    return winHttpRequestFactory(limits);
}

std::size_t peakMemoryKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize / 1024;
}

const double kRefusedConnectionSeconds = 3.5;
const char kAgentPlatform[] = "Windows";

} // namespace pelvoran::test

namespace pelvoran::test {
namespace {

/// The requests the server has seen, once `count` are in or 30 s passed
/// (the exchanges run on threads of their own).
std::vector<ReceivedRequest> requestsOnceIn(const LoopbackServer& server, std::size_t count) {
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (int i = 0; i < 3000 && server.requests().size() < count && GetTickCount64() < deadline;
         ++i)
        Sleep(10);
    return server.requests();
}

// A GET sent ahead goes to the wire once, and the first request that sends a
// GET of its address (whatever its query) reads that reply; any other
// request, and the ones after that one, go out themselves.
TEST(WinHttpSentAhead, TheFirstGetOfTheAddressTakesTheExchange) {
    struct Case {
        const char* method;
        const char* path;
        bool takesIt;
    };
    const Case cases[] = {
        {"GET", "/check?D=later", true},
        {"GET", "/other", false},
        {"POST", "/check?D=early", false},
    };
    for (const Case& c : cases) {
        const std::string what = std::string(c.method) + " " + c.path;
        LoopbackServer server({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "1.05")});
        const HttpRequestFactory factory =
            winHttpRequestFactorySendingAhead(url(server, "/check?D=early"), {});
        for (const char* path : {c.path, "/check?D=again"}) {
            const auto r = factory();
            const bool first = path == c.path;
            r->Open(first ? c.method : "GET", url(server, path), false);
            r->send(first && what.starts_with("POST") ? std::optional<Text>(u"x") : std::nullopt);
            EXPECT_EQ(r->Status(), 200) << what;
            EXPECT_EQ(r->responseText(), u"1.05") << what;
        }
        // The early one, and whichever request did not take it.
        std::vector<std::string> expected{"GET /check?D=early",
                                          c.takesIt ? "GET /check?D=again" : what};
        std::vector<std::string> seen;
        for (const auto& r : requestsOnceIn(server, expected.size()))
            seen.push_back(r.head.substr(0, r.head.find(" HTTP/")));
        std::sort(expected.begin(), expected.end());
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, expected) << what;
    }
}

// The reply is waited for within the limits counted from the early sending,
// not from the request that takes it: taken after that deadline, the request
// fails at once, where a deadline of its own would hold it a whole limit.
TEST(WinHttpSentAhead, ASilentServerFailsByTheDeadlineOfTheEarlySending) {
    LoopbackServer server({ServerBehaviour::Mode::Silent, ""});
    const HttpLimits limits{milliseconds(500), milliseconds(3000), 1 << 20, 256 << 10, 5};
    const auto start = Clock::now();
    const HttpRequestFactory factory =
        winHttpRequestFactorySendingAhead(url(server, "/check"), limits);
    ASSERT_EQ(requestsOnceIn(server, 1).size(), 1u) << "the early sending";
    // A sleep lasts at least what it is asked: then the deadline has passed.
    const auto sinceStart = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    if (sinceStart < limits.totalTimeout + milliseconds(500))
        Sleep(static_cast<DWORD>((limits.totalTimeout + milliseconds(500) - sinceStart).count()));
    const auto r = factory();
    r->Open("GET", url(server, "/check?D=later"), false);
    const auto taken = Clock::now();
    EXPECT_THROW(r->send(), StepError);
    EXPECT_LT(Clock::now() - taken, limits.totalTimeout);
    EXPECT_EQ(server.requests().size(), 1u);
}

} // namespace
} // namespace pelvoran::test
