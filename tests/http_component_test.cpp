// The libcurl request component against a real server on 127.0.0.1, and the
// address and charset rules the components share.
#include "platform/curl/curl_http_request.h"
#include "platform/tool_agent.h"
#include "tests/http_component_cases.h"

#include <sys/resource.h>

namespace pelvoran::test {

HttpRequestFactory componentFactory(HttpLimits limits) {
    return curlHttpRequestFactory(limits);
}

std::size_t peakMemoryKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<std::size_t>(u.ru_maxrss);
}

const double kRefusedConnectionSeconds = 3.0;
const char kAgentPlatform[] = "Linux";

TEST(HttpComponent, AgentVersionHasAPointAndTwoDecimals) {
    const struct {
        double version;
        const char* text;
    } cases[] = {{1.05, "1.05"}, {1.06, "1.06"}, {1.1, "1.10"},
                 {1.15, "1.15"}, {2, "2.00"},    {10.5, "10.50"}};
    for (const auto& c : cases)
        EXPECT_EQ(agentVersionText(c.version), c.text) << c.text;
}

TEST(HttpComponent, UrlForWire) {
    EXPECT_EQ(urlForWire(u"http://h/p?D=2026/1/5 0:00:01"), "http://h/p?D=2026/1/5%200:00:01");
    EXPECT_EQ(urlForWire(u"http://h/镜头"), "http://h/%E9%95%9C%E5%A4%B4");
    EXPECT_EQ(urlForWire(u"http://h/a\tb\r\n\"<>{}|\\^`"),
              "http://h/a%09b%0D%0A%22%3C%3E%7B%7D%7C%5C%5E%60");
    EXPECT_EQ(urlForWire(u"http://h/%41+&="), "http://h/%41+&=");
}

TEST(HttpComponent, DecodeHttpBodyFollowsTheCharset) {
    // The rows every component's exchange is checked with, and more.
    for (const auto& c : kCharsetCases)
        EXPECT_EQ(decodeHttpBody(c.body, c.contentType), c.text) << c.contentType;
    const CharsetCase cases[] = {
        {"\xD6\xD0", "text/html;charset=\"gb2312\"", u"中"},
        {"\x81\x30\x81\x30", "text/plain; charset=GB18030", u"\u0080"},
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
}

} // namespace pelvoran::test
