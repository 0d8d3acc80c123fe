#include "tests/support/hostile_cases.h"

namespace pelvoran::test {

namespace {

ServerBehaviour replyWith(std::string raw) {
    return {ServerBehaviour::Mode::Reply, std::move(raw), 0};
}

ServerBehaviour version(const std::string& field0) {
    return replyWith(LoopbackServer::reply(200, field0 + "[;]http://127.0.0.1/x[;]2026-12-07[;]n"));
}

} // namespace

std::vector<HostileCase> hostileCases() {
    const std::size_t hundredMiB = std::size_t(100) << 20;
    std::string manyHeaders;
    for (int i = 0; i < 10000; ++i)
        manyHeaders += "X-Header-" + std::to_string(i) + ": v\r\n";
    //  name, refuse, behaviour, offersUpdate, commentDelivered, waitsForTheLimit
    return {
        {"refused", true, {}, false, false, false},
        {"silent", false, {ServerBehaviour::Mode::Silent, "", 0}, false, false, true},
        {"drip",
         false,
         {ServerBehaviour::Mode::Drip, LoopbackServer::reply(200, "1.06[;]x"), 0},
         false,
         false,
         true},
        {"reset-mid-body",
         false,
         {ServerBehaviour::Mode::Reset,
          "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n1.06[;]http://127.0.0.1/x", 0},
         false,
         false,
         false},
        {"100MB-body",
         false,
         {ServerBehaviour::Mode::Endless,
          "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(hundredMiB) + "\r\n\r\n",
          hundredMiB},
         false,
         false,
         false},
        {"bad-status-line", false, replyWith("HTTX/9 ok then\r\n\r\n1.06[;]x"), false, false,
         false},
        {"broken-chunks", false,
         replyWith("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n1.06\r\n0\r\n\r\n"),
         false, false, false},
        {"status-404", false,
         replyWith(LoopbackServer::reply(404, "1.06[;]http://127.0.0.1/x[;]d[;]n")), false, false,
         false},
        {"status-500", false, replyWith(LoopbackServer::reply(500, "1.06[;]x")), false, false,
         false},
        {"redirect-loop", false,
         replyWith(LoopbackServer::reply(302, "", "text/plain", "Location: /loop\r\n")), false,
         true, false},
        // Answers the post with 302; a replayed request would announce a body
        // that never comes, and the server would wait for it.
        {"post-302", false,
         replyWith(LoopbackServer::reply(302, "", "text/plain", "Location: /Canon/thanks.asp\r\n")),
         false, true, false},
        {"bad-utf8", false,
         replyWith(LoopbackServer::reply(200, "1.0\xff\xfe[;]\xc0\x80[;]\xed\xa0\x80[;]\xf8")),
         false, true, false},
        {"10000-headers", false,
         replyWith("HTTP/1.1 200 OK\r\n" + manyHeaders + "Content-Length: 4\r\n\r\n1.05"), false,
         true, false},
        {"nul-bytes", false,
         replyWith(LoopbackServer::reply(200, std::string("1.0\0"
                                                          "6[;]http://127.0.0.1/\0x",
                                                          24))),
         false, true, false},
        {"field0-1e308", false, version("1e308"), true, true, false},
        {"field0-minus-0", false, version("-0"), false, true, false},
        {"field0-NaN", false, version("NaN"), false, true, false},
        {"field0-fullwidth", false, version("１．０６"), false, true, false},
        {"field0-64KB", false, version(std::string(64 << 10, '9')), false, true, false},
        {"field0-comma", false, version("1,06"), false, true, false},
    };
}

} // namespace pelvoran::test
