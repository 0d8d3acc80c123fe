// The server's limits on their own, with a clock the test sets: who a limit
// counts, the comment allowance, the deadlines and the body budget.
#include "server/limits.h"

#include <gtest/gtest.h>

#include <set>

using namespace pelvoran::server;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point t0 = Clock::time_point(1000h);

} // namespace

TEST(Limits, ClientsAreIPv4AddressesAndIPv6Slash64s) {
    const struct {
        const char* text;
        const char* key; // nullptr: not an address
    } cases[] = {
        {"203.0.113.5", "203.0.113.5"},
        {" 203.0.113.5\t", "203.0.113.5"},
        {"::ffff:203.0.113.5", "203.0.113.5"}, // IPv4 through an IPv6 socket
        {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"2001:DB8:1:3::1", "2001:db8:1:3::/64"},
        {"::1", "::/64"},
        {"", nullptr},
        {"unknown", nullptr},
        {"203.0.113.5:80", nullptr},
        {"[2001:db8::1]", nullptr},
        {"1.2.3.4.5", nullptr},
        {"203.0.113.5, 10.0.0.1", nullptr},
        {"fe80::1%eth0", nullptr},
    };
    for (const auto& c : cases) {
        const auto a = ClientAddress::parse(c.text);
        ASSERT_EQ(a.has_value(), c.key != nullptr) << c.text;
        if (a) {
            EXPECT_EQ(a->limitKey(), c.key) << c.text;
        }
    }
    EXPECT_EQ(ClientAddress::parse("::ffff:10.0.0.1"), ClientAddress::parse("10.0.0.1"));
}

TEST(Limits, CommentAllowanceCountsCommentsAndBytes) {
    RateLimiter limiter(3, 10000);
    EXPECT_TRUE(limiter.allow("a", 4000, t0));
    EXPECT_TRUE(limiter.allow("a", 4000, t0));
    EXPECT_FALSE(limiter.allow("a", 4000, t0)) << "8,000 of 10,000 bytes used";
    EXPECT_TRUE(limiter.allow("a", 2000, t0));
    EXPECT_FALSE(limiter.allow("a", 1, t0)) << "three comments used";
    EXPECT_TRUE(limiter.allow("b", 10000, t0));
    EXPECT_FALSE(limiter.allow("a", 1, t0 + 10min));
    EXPECT_TRUE(limiter.allow("a", 1, t0 + 21min)) << "a comment refills in 20 minutes";
    EXPECT_TRUE(RateLimiter(0, 0).allow("a", 1 << 30, t0));
}

// Filling the table with other clients never gives a client that used its
// allowance a fresh one: the table forgets those with the most left.
TEST(Limits, SprayingTheTableDoesNotResetAClient) {
    RateLimiter limiter(2, 0, 100);
    EXPECT_TRUE(limiter.allow("limited", 10, t0));
    EXPECT_TRUE(limiter.allow("limited", 10, t0));
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(limiter.allow("spray" + std::to_string(i), 10, t0 + 1s));
        ASSERT_LE(limiter.tracked(), 100u);
    }
    EXPECT_FALSE(limiter.allow("limited", 10, t0 + 2s));
    EXPECT_GT(limiter.tracked(), 40u) << "never all forgotten";
}

namespace {

/// A guard whose closer records the sockets it ended.
struct Watched {
    std::set<int> ended;
    ConnectionGuard guard;
    explicit Watched(ConnectionGuard::Limits limits)
        : guard(limits, [this](int fd) { ended.insert(fd); }) {}
};

ConnectionGuard::Limits testLimits() {
    ConnectionGuard::Limits l;
    l.headTimeout = 10s;
    l.crowdedHeadTimeout = 2s;
    l.crowded = 4;
    l.minBodyRate = 100;
    l.rateWindow = 10s;
    l.bodyBudget = 1000;
    l.perClient = 2;
    return l;
}

} // namespace

TEST(Limits, LateHeadsAndSlowBodiesAreEnded) {
    Watched w(testLimits());
    auto* dribbling = w.guard.opened(1, "a", t0);
    auto* fast = w.guard.opened(2, "b", t0);
    w.guard.headArrived(fast, t0 + 1s);
    w.guard.requestArrived(fast); // a GET: no body
    auto* slowBody = w.guard.opened(3, "c", t0);
    w.guard.headArrived(slowBody, t0);
    auto* steadyBody = w.guard.opened(4, "d", t0);
    w.guard.headArrived(steadyBody, t0);
    auto* answered = w.guard.opened(5, "e", t0);
    w.guard.headArrived(answered, t0);
    w.guard.requestArrived(answered);

    // Four open is crowded: heads get 2 s.
    EXPECT_EQ(w.guard.sweep(t0 + 1900ms), 0u);
    EXPECT_EQ(w.guard.sweep(t0 + 2s), 1u);
    EXPECT_EQ(w.ended, std::set<int>{1});
    w.guard.closed(dribbling);

    w.guard.bodyArrived(slowBody, 999); // under 100 a second over 10 s
    w.guard.bodyArrived(steadyBody, 1000);
    EXPECT_EQ(w.guard.sweep(t0 + 10s), 1u);
    EXPECT_EQ(w.ended, (std::set<int>{1, 3}));
    w.guard.bodyArrived(steadyBody, 10); // the next window starts empty
    EXPECT_EQ(w.guard.sweep(t0 + 20s), 1u);
    EXPECT_EQ(w.ended, (std::set<int>{1, 3, 4}));

    // The answer takes no deadline; once sent, the next head has one again
    // (three open now: not crowded, so 10 s).
    w.guard.closed(slowBody);
    w.guard.closed(steadyBody);
    EXPECT_EQ(w.guard.sweep(t0 + 1h), 0u);
    w.guard.requestDone(answered, t0 + 1h);
    w.guard.requestDone(fast, t0 + 1h);
    EXPECT_EQ(w.guard.sweep(t0 + 1h + 9s), 0u);
    EXPECT_EQ(w.guard.sweep(t0 + 1h + 10s), 2u);
    w.guard.closed(answered);
    w.guard.closed(fast);
    EXPECT_EQ(w.guard.open(), 0u);
}

TEST(Limits, ConnectionsPerClientAndTheBodyBudget) {
    Watched w(testLimits());
    auto* a1 = w.guard.opened(1, "a", t0);
    auto* a2 = w.guard.opened(2, "a", t0);
    auto* a3 = w.guard.opened(3, "a", t0);
    auto* proxy = w.guard.opened(4, "", t0);
    auto* proxy2 = w.guard.opened(5, "", t0);
    auto* proxy3 = w.guard.opened(6, "", t0);
    EXPECT_EQ(w.ended, std::set<int>{3}) << "the third from one client is ended at once";
    w.guard.closed(a3);
    w.guard.closed(a1);
    auto* a4 = w.guard.opened(7, "a", t0);
    EXPECT_EQ(w.ended, std::set<int>{3}) << "a place is free again";
    for (auto* c : {a2, a4, proxy, proxy2, proxy3})
        w.guard.closed(c);

    EXPECT_TRUE(w.guard.reserve(600));
    EXPECT_FALSE(w.guard.reserve(401));
    EXPECT_TRUE(w.guard.reserve(400));
    EXPECT_FALSE(w.guard.reserve(1));
    EXPECT_FALSE(w.guard.reserve(UINT64_MAX)) << "no wrap-around";
    w.guard.unreserve(600);
    EXPECT_EQ(w.guard.reserved(), 400u);
}
