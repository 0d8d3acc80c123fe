// The real start-up path against a publisher's server that misbehaves in
// every way we know: the main window must come up in time, with no message
// but where one is due, in bounded memory, and nothing may be started; the
// comment path too must come back in time, thanking only for a comment that
// arrived and otherwise keeping the window open with its text.
// Each case prints a row of the table that scripts/hostile_table.sh shows.
#include "tests/support/driver_process.h"
#include "tests/support/hostile_cases.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace pelvoran::test;

namespace {

#ifdef PELVORAN_SANITIZED
// AddressSanitizer multiplies memory.
constexpr long kPeakRssKiB = 1024 * 1024;
#else
constexpr long kPeakRssKiB = 100 * 1024;
#endif

/// The product's own limit on a request (HttpLimits), which a tool that
/// did not keep the short one given would wait out against a silent server.
constexpr long kProductLimitMs = 5000;

/// A short limit, which the tool must keep just as its own. Where the
/// answer comes at once, the limit is long, and a tool that waits for it
/// anyway is caught: it is held that long.
long totalLimitMs(const HostileCase& c) {
    return c.waitsForTheLimit ? 400 : 20000;
}

/// How long the check, and the comment's send button, may hold the tool:
/// less than what a tool that got the limit wrong would wait out. Measured
/// from the request's beginning, never from launch (a loaded machine starts
/// a sanitized Qt program slowly).
long heldAtMostMs(const HostileCase& c) {
    return c.waitsForTheLimit ? kProductLimitMs : totalLimitMs(c);
}

/// The comment line of the driver: "comment <ms> ms, window <open|closed>,
/// text <kept|gone>".
struct CommentLine {
    long ms = -1;
    std::string rest;
};

CommentLine commentLine(const std::string& out) {
    CommentLine line;
    const std::size_t at = out.find("\ncomment ");
    if (at == std::string::npos)
        return line;
    const std::size_t start = at + 9;
    const std::size_t end = out.find('\n', start);
    const std::string text = out.substr(start, end - start);
    line.ms = std::strtol(text.c_str(), nullptr, 10);
    const std::size_t comma = text.find(", ");
    line.rest = comma == std::string::npos ? "" : text.substr(comma + 2);
    return line;
}

class Hostile : public ::testing::TestWithParam<HostileCase> {};

} // namespace

TEST_P(Hostile, MainWindowComesUpAndTheToolKeepsWorking) {
    const HostileCase& c = GetParam();
    std::unique_ptr<LoopbackServer> server;
    std::string base;
    if (c.refuse) {
        base = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    } else {
        server = std::make_unique<LoopbackServer>(c.behaviour);
        base = server->base();
    }
    FakeOpener opener;
    const long limitMs = totalLimitMs(c);
    ::setenv("PELVORAN_DRIVER_TOTAL_MS", std::to_string(limitMs).c_str(), 1);
    const DriverRun r = runDriver(base, "observe", opener, std::chrono::seconds(120));
    ::unsetenv("PELVORAN_DRIVER_TOTAL_MS");

    const double shown = r.secondsUntil("shown ");
    const bool offer = r.out.find("box 有更新版本\n") != std::string::npos;
    const bool thanks = r.out.find("box 感谢\n") != std::string::npos;
    const bool failed = r.out.find("box 发送失败\n") != std::string::npos;
    const CommentLine comment = commentLine(r.out);
    std::size_t boxes = 0;
    for (std::size_t at = 0; (at = r.out.find("box ", at)) != std::string::npos; ++at)
        ++boxes;
    const char* commentOutcome = thanks && comment.rest == "window closed, text gone" ? "yes"
                                 : failed && comment.rest == "window open, text kept" ? "kept"
                                                                                      : "WRONG";
    std::printf(
        "| %-16s | %6.2f s | %-5s | %-6s | %6.1f MB | %-7s | %-8s |\n", c.name.c_str(), shown,
        offer ? "offer" : "none", commentOutcome, static_cast<double>(r.peakRssKiB) / 1024.0,
        opener.opened().empty() ? "nothing" : "STARTED",
        r.exitStatus == 0 && r.out.find("query ok") != std::string::npos ? "healthy" : "BROKEN");

    EXPECT_EQ(r.exitStatus, 0) << r.out;
    ASSERT_GE(shown, 0) << "the main window never came up: " << r.out;
    EXPECT_LT(r.checkHeldMs(), heldAtMostMs(c)) << r.out;
    EXPECT_EQ(offer, c.offersUpdate) << r.out;
    EXPECT_EQ(boxes, c.offersUpdate ? 2u : 1u) << r.out;
    EXPECT_NE(r.out.find("query ok"), std::string::npos) << r.out;

    // The comment path: thanks only for a comment that arrived; otherwise
    // the failure box, and the window stays open with its text. Either way
    // the send button gives the tool back in time.
    if (c.commentDelivered) {
        EXPECT_TRUE(thanks) << r.out;
        EXPECT_EQ(comment.rest, "window closed, text gone") << r.out;
    } else {
        EXPECT_TRUE(failed) << r.out;
        EXPECT_EQ(comment.rest, "window open, text kept") << r.out;
    }
    ASSERT_GE(comment.ms, 0) << "the comment path never came back: " << r.out;
    EXPECT_LT(comment.ms, heldAtMostMs(c)) << r.out;

    EXPECT_NE(r.out.find("ended 0"), std::string::npos) << r.out;
    EXPECT_LT(r.peakRssKiB, kPeakRssKiB);
    EXPECT_EQ(opener.opened(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, Hostile, ::testing::ValuesIn(hostileCases()),
                         [](const auto& param) {
                             std::string name;
                             for (const char ch : param.param.name)
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });
