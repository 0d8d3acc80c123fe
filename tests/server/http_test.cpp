// The HTTP room on its own: the route table, and the limits with a clock
// the test sets: who a limit counts, the comment allowance, the deadlines
// and the body budget.
#include "server/http/download.h"
#include "server/http/limits.h"
#include "server/http/routes.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

using namespace pelvoran::server;
using namespace std::chrono_literals;
using namespace pelvoran;

namespace {

/// The guard's deadlines are on the steady clock, the comment allowance on
/// the daemon's.
const std::chrono::steady_clock::time_point t0{1000h};
const Clock::TimePoint kDay{std::chrono::sys_days(std::chrono::year(2026) / 12 / 1)};

} // namespace

namespace {

/// A guard whose closer records the sockets it ended and whose clients
/// have taken what `taken` says, with one listener of six slots (crowded
/// at five).
struct Watched {
    std::set<int> ended;
    std::map<int, std::uint64_t> taken;
    ConnectionGuard guard;
    ConnectionGuard::Listener& slots;
    explicit Watched(ConnectionGuard::Limits limits)
        : guard(
              limits, [this](int fd) { ended.insert(fd); }, [this](int fd) { return taken[fd]; }),
          slots(guard.listener(6)) {}
    ConnectionGuard::Connection* open(int fd, const std::string& key,
                                      const std::string& group = "") {
        return guard.opened(slots, fd, {key, group}, t0);
    }
};

ConnectionGuard::Limits testLimits() {
    ConnectionGuard::Limits l;
    l.headTimeout = 10s;
    l.crowdedHeadTimeout = 2s;
    l.minBodyRate = 100;
    l.rateWindow = 10s;
    l.bodyTimeout = 25s;
    l.answerIdle = 5s;
    l.bodyBudget = 1000;
    l.clientShare = 400;
    l.groupShare = 500;
    l.perClient = 2;
    l.perGroup = 3;
    return l;
}

} // namespace

TEST(Routes, OneTableForBothListeners) {
    const struct {
        bool admin;
        const char* method;
        const char* path;
        Route route;
        const char* allow;
    } cases[] = {
        {false, "GET", "/Canon/LensCheck.asp", Route::UpdateCheck, ""},
        {false, "HEAD", "/Canon/LensCheck.asp", Route::UpdateCheck, ""},
        {false, "POST", "/Canon/LensCheck.asp", Route::NotAllowed, "GET, HEAD"},
        {false, "POST", "/Canon/comment.asp", Route::DesktopComment, ""},
        {false, "GET", "/Canon/comment.asp", Route::NotAllowed, "POST"},
        {false, "POST", "/comment", Route::WebComment, ""},
        {false, "GET", "/", Route::LookupPage, ""},
        {false, "GET", "/thanks", Route::CommentThanks, ""},
        {false, "POST", "/thanks", Route::NotAllowed, "GET, HEAD"},
        {false, "POST", "/reply", Route::ReplyLookup, ""},
        {false, "GET", "/reply", Route::NotAllowed, "POST"}, // a code never in an address
        {false, "PUT", "/nothing", Route::NotAllowed, "GET, HEAD"},
        {false, "GET", "/comments", Route::NotFound, ""}, // admin pages are not public
        {false, "GET", "/canon/lenscheck.asp", Route::NotFound, ""},
        {true, "GET", "/Canon/LensCheck.asp", Route::NotFound, ""},
        {true, "GET", "/release", Route::AdminRelease, ""},
        {true, "POST", "/release", Route::AdminRelease, ""},
        {true, "PUT", "/release", Route::NotAllowed, "GET, HEAD, POST"},
        {true, "GET", "/comments/mark", Route::NotAllowed, "POST"},
        {true, "GET", "/comments/delete", Route::AdminDelete, ""},
        {true, "POST", "/comments/delete", Route::AdminDelete, ""},
        {true, "POST", "/comments/approve", Route::AdminApprove, ""},
        {true, "GET", "/comments/read-all", Route::NotAllowed, "POST"},
        {false, "GET", "/comments/delete", Route::NotFound, ""},
        {true, "GET", "/style.css", Route::StyleSheet, ""},
        {true, "DELETE", "/use", Route::NotAllowed, "GET, HEAD"},
        {true, "POST", "/release/republish", Route::AdminRepublish, ""},
        {true, "GET", "/release/republish", Route::NotAllowed, "POST"},
        {true, "GET", "/audit", Route::AdminAudit, ""},
        {true, "POST", "/audit", Route::NotAllowed, "GET, HEAD"},
        {false, "GET", "/audit", Route::NotFound, ""},
    };
    for (const auto& c : cases) {
        const RouteMatch m = findRoute(c.admin, c.method, c.path);
        EXPECT_EQ(m.route, c.route) << c.method << " " << c.path;
        EXPECT_STREQ(m.allow, c.allow) << c.method << " " << c.path;
    }
    // Under a prefix the page moves and the tools' two paths stay.
    const struct {
        const char* method;
        const char* path;
        Route route;
    } prefixed[] = {
        {"GET", "/p/", Route::LookupPage},
        {"GET", "/p/style.css", Route::StyleSheet},
        {"GET", "/p/help.png", Route::HelpPhoto},
        {"POST", "/p/comment", Route::WebComment},
        {"GET", "/p/thanks", Route::CommentThanks},
        {"POST", "/p/reply", Route::ReplyLookup},
        {"POST", "/reply", Route::NotAllowed},
        {"GET", "/", Route::NotFound},
        {"GET", "/style.css", Route::NotFound},
        {"GET", "/p", Route::NotFound},
        {"GET", "/Canon/LensCheck.asp", Route::UpdateCheck},
        {"POST", "/Canon/comment.asp", Route::DesktopComment},
        {"GET", "/p/Canon/LensCheck.asp", Route::NotFound},
        {"GET", "/healthz", Route::Health}, // where a monitor looks, whatever the prefix
        {"GET", "/p/healthz", Route::Health},
        {"GET", "/p/download/windows/1.06/a.exe", Route::Download},
        {"HEAD", "/p/download/linux/1.06/a", Route::Download},
        {"POST", "/p/download/windows/1.06/a.exe", Route::NotAllowed},
        {"GET", "/download/windows/1.06/a.exe", Route::NotFound},
    };
    for (const auto& c : prefixed)
        EXPECT_EQ(findRoute(false, c.method, c.path, "/p/").route, c.route) << c.path;
    EXPECT_TRUE(isAdminPage("/comments"));
    EXPECT_FALSE(isAdminPage("//evil.example/x"));
    EXPECT_FALSE(isAdminPage("/comments/mark")) << "a POST, never a place to land";
}

TEST(Limits, ClientsAreIPv4AddressesAndIPv6Slash64s) {
    const struct {
        const char* text;
        const char* key; // nullptr: not an address
        const char* group = "";
    } cases[] = {
        {"203.0.113.5", "203.0.113.5"},
        {" 203.0.113.5\t", "203.0.113.5"},
        {"::ffff:203.0.113.5", "203.0.113.5"}, // IPv4 through an IPv6 socket
        {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64", "2001:db8:1::/48"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64", "2001:db8:1::/48"},
        {"2001:DB8:1:3::1", "2001:db8:1:3::/64", "2001:db8:1::/48"},
        {"2001:db8:2:3::1", "2001:db8:2:3::/64", "2001:db8:2::/48"},
        {"::1", "::/64", "::/48"},
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
            EXPECT_EQ(a->groupKey(), c.group) << c.text;
        }
    }
    EXPECT_EQ(ClientAddress::parse("::ffff:10.0.0.1"), ClientAddress::parse("10.0.0.1"));

    // Networks: an IPv4 /24, an IPv6 /48; never the same for both families.
    const auto network = [](const char* text) { return ClientAddress::parse(text)->networkKey(); };
    EXPECT_EQ(network("203.0.113.5"), network("203.0.113.250"));
    EXPECT_NE(network("203.0.113.5"), network("203.0.114.5"));
    EXPECT_EQ(network("2001:db8:1:2::1"), network("2001:db8:1:ffff::9"));
    EXPECT_NE(network("2001:db8:1::1"), network("2001:db8:2::1"));
    EXPECT_NE(network("0.0.0.1"), network("::1"));
}

TEST(Limits, CommentAllowanceCountsCommentsAndBytes) {
    SettableClock clock(kDay);
    RateLimiter limiter(3, 10000, clock);
    EXPECT_TRUE(limiter.allow("a", 4000));
    EXPECT_TRUE(limiter.allow("a", 4000));
    EXPECT_FALSE(limiter.allow("a", 4000)) << "8,000 of 10,000 bytes used";
    EXPECT_TRUE(limiter.allow("a", 2000));
    EXPECT_FALSE(limiter.allow("a", 1)) << "three comments used";
    EXPECT_TRUE(limiter.allow("b", 10000));
    clock.advance(10min);
    EXPECT_FALSE(limiter.allow("a", 1));
    clock.advance(11min);
    EXPECT_TRUE(limiter.allow("a", 1)) << "a comment refills in 20 minutes";
    // A clock set back an hour: refilled from there on, not an hour later.
    clock.advance(-1h);
    EXPECT_FALSE(limiter.allow("a", 1));
    clock.advance(21min);
    EXPECT_TRUE(limiter.allow("a", 1)) << "nothing refilled after the clock was set back";
    EXPECT_TRUE(RateLimiter(0, 0, clock).allow("a", 1 << 30));
}

// Filling the table with other clients never gives a client that used its
// allowance a fresh one: the table forgets those with the most left.
TEST(Limits, SprayingTheTableDoesNotResetAClient) {
    SettableClock clock(kDay);
    RateLimiter limiter(2, 0, clock, 100);
    EXPECT_TRUE(limiter.allow("limited", 10));
    EXPECT_TRUE(limiter.allow("limited", 10));
    clock.advance(1s);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(limiter.allow("spray" + std::to_string(i), 10));
        ASSERT_LE(limiter.tracked(), 100u);
    }
    clock.advance(1s);
    EXPECT_FALSE(limiter.allow("limited", 10));
    EXPECT_GT(limiter.tracked(), 40u) << "never all forgotten";
}

TEST(Limits, LateHeadsAndSlowBodiesAreEnded) {
    Watched w(testLimits());
    auto* dribbling = w.open(1, "a");
    auto* fast = w.open(2, "b");
    w.guard.headArrived(fast, 0, t0 + 1s);
    w.guard.requestArrived(fast); // a GET: no body
    auto* slowBody = w.open(3, "c");
    w.guard.headArrived(slowBody, 0, t0);
    auto* steadyBody = w.open(4, "d");
    w.guard.headArrived(steadyBody, 0, t0);
    auto* answered = w.open(5, "e");
    w.guard.headArrived(answered, 0, t0);
    w.guard.requestArrived(answered);

    // Five open is crowded: heads get 2 s.
    EXPECT_EQ(w.guard.sweep(t0 + 1900ms), 0u);
    EXPECT_EQ(w.guard.sweep(t0 + 2s), 1u);
    EXPECT_EQ(w.ended, std::set<int>{1});
    w.guard.closed(dribbling);

    w.guard.bodyArrived(slowBody, 999); // under 100 a second over 10 s
    w.guard.bodyArrived(steadyBody, 1000);
    EXPECT_EQ(w.guard.sweep(t0 + 10s), 1u);
    EXPECT_EQ(w.ended, (std::set<int>{1, 3}));
    w.guard.bodyArrived(steadyBody, 1000); // fast enough, but not for ever
    EXPECT_EQ(w.guard.sweep(t0 + 20s), 0u);
    w.guard.bodyArrived(steadyBody, 1000);
    EXPECT_EQ(w.guard.sweep(t0 + 24s), 0u);
    EXPECT_EQ(w.guard.sweep(t0 + 25s), 1u) << "the body's own deadline";
    EXPECT_EQ(w.ended, (std::set<int>{1, 3, 4}));

    // The answer takes no deadline; once sent, the next head has one again
    // (two open now: not crowded, so 10 s).
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

// A file's answer has a deadline: the head timeout plus its bytes at the
// minimum rate (10 s + 1,000 bytes at 100 a second), however steadily its
// client takes it; one whose client stops taking it ends after the idle
// limit (5 s), however much of its deadline is left. The next request's
// head has neither.
TEST(Limits, AFileAnswerEndsAtItsDeadlineOrWhenNoLongerTaken) {
    Watched w(testLimits());
    auto* reader = w.open(1, "a");
    auto* stopped = w.open(2, "b");
    w.taken = {{1, 5000}, {2, 5000}}; // earlier answers'
    for (auto* c : {reader, stopped}) {
        w.guard.headArrived(c, 0, t0);
        w.guard.requestArrived(c);
        w.guard.answerTakes(c, 1000, t0);
    }
    // A byte every 4 s for one, two bytes in the first second for the other.
    for (int second = 1; second < 20; ++second) {
        if (second % 4 == 0)
            ++w.taken[1];
        if (second == 1)
            w.taken[2] += 2;
        EXPECT_EQ(w.guard.sweep(t0 + second * 1s), second == 6 ? 1u : 0u) << second << " s";
    }
    EXPECT_EQ(w.ended, std::set<int>{2}) << "5 s after its last byte";
    EXPECT_EQ(w.guard.sweep(t0 + 19999ms), 0u);
    EXPECT_EQ(w.guard.sweep(t0 + 20s), 1u);
    EXPECT_EQ(w.ended, (std::set<int>{1, 2}));

    auto* quick = w.open(3, "c");
    w.guard.headArrived(quick, 0, t0);
    w.guard.requestArrived(quick);
    w.guard.answerTakes(quick, 1000, t0);
    w.guard.requestDone(quick, t0 + 1s);
    w.guard.headArrived(quick, 0, t0 + 2s);
    w.guard.requestArrived(quick);
    EXPECT_EQ(w.guard.sweep(t0 + 1h), 0u) << "the last file's deadline held the next answer";
}

// An upload's body has until its size at the minimum rate after the head
// timeout, not the body timeout, while it keeps the rate.
TEST(Limits, AnUploadHasTheDeadlineOfItsSize) {
    Watched w(testLimits());
    auto* upload = w.open(1, "a");
    auto* form = w.open(2, "b");
    for (auto* c : {upload, form})
        w.guard.headArrived(c, 6000, t0);
    w.guard.bodyTakes(upload, 5000, t0); // 10 s + 50 s
    for (const auto at : {10s, 20s, 30s, 40s, 50s, 60s}) {
        for (auto* c : {upload, form})
            w.guard.bodyArrived(c, 1000, t0 + at - 1s);
        w.guard.sweep(t0 + at - 1ms);
    }
    EXPECT_EQ(w.ended, std::set<int>{2}) << "the form's body ends at the body timeout";
    EXPECT_EQ(w.guard.sweep(t0 + 60s), 1u);
    EXPECT_EQ(w.ended, (std::set<int>{1, 2}));
}

// One "bytes=" range of a 100-byte file (or an empty one), as RFC 9110
// reads it; what the strict matcher does not take is the whole file.
TEST(DownloadAnswers, RangesOfAFile) {
    constexpr ByteRange kNone{1, 0};
    const struct {
        const char* header;
        std::optional<ByteRange> range;
        std::uint64_t size = 100;
    } cases[] = {
        {"", std::nullopt},
        {"bytes=0-0", ByteRange{0, 0}},
        {"bytes=10-19", ByteRange{10, 19}},
        {"bytes=99-99", ByteRange{99, 99}},
        {"bytes=90-", ByteRange{90, 99}},
        {"bytes=90-500", ByteRange{90, 99}},
        {"bytes=-1", ByteRange{99, 99}},
        {"bytes=-500", ByteRange{0, 99}},
        {"bytes=100-", kNone},
        {"bytes=100-200", kNone},
        {"bytes=-0", kNone},
        {"bytes=5-1", std::nullopt},
        {"bytes=0-1,5-6", std::nullopt},
        {"bytes= 0-1", std::nullopt},
        {"bytes=+1-2", std::nullopt},
        {"items=0-1", std::nullopt},
        {"bytes=-", std::nullopt},
        {"bytes=99999999999999999999-", std::nullopt},
        {"bytes=-5", kNone, 0},
        {"bytes=0-", kNone, 0},
        {"", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        const auto got = askedRange(c.header, c.size);
        ASSERT_EQ(got.has_value(), c.range.has_value()) << c.header;
        if (got) {
            EXPECT_EQ(got->first, c.range->first) << c.header;
            EXPECT_EQ(got->last, c.range->last) << c.header;
        }
    }
}

// The answer for a served file: the range taken only on GET and when
// If-Range names the file; 416 without the file; a download only when the
// whole file goes out.
TEST(DownloadAnswers, AnswersCarryTheFileRangeAndHeaders) {
    const ServedFile served{{Platform::Windows, "Pelvoran.exe", "abc", 100}, "1.06", "/d/abc"};
    const struct {
        const char* method;
        const char* range;
        const char* ifRange;
        unsigned status;
        std::uint64_t offset, length;
        const char* contentRange;
        bool download;
    } cases[] = {
        {"GET", "", "", 200, 0, 100, nullptr, true},
        {"HEAD", "", "", 200, 0, 100, nullptr, false},
        {"HEAD", "bytes=0-0", "", 200, 0, 100, nullptr, false},
        {"GET", "bytes=0-0", "", 206, 0, 1, "bytes 0-0/100", false},
        {"GET", "bytes=-10", "\"abc\"", 206, 90, 10, "bytes 90-99/100", false},
        {"GET", "bytes=0-", "\"abc\"", 206, 0, 100, "bytes 0-99/100", true},
        {"GET", "bytes=10-", "\"old\"", 200, 0, 100, nullptr, true},
        {"GET", "bytes=10-", "Tue, 08 Dec 2026 10:00:00 GMT", 200, 0, 100, nullptr, true},
        {"GET", "bytes=100-", "", 416, 0, 0, "bytes */100", false},
    };
    for (const auto& c : cases) {
        WebRequest request;
        request.method = c.method;
        request.range = c.range;
        request.ifRange = c.ifRange;
        const WebResponse w = downloadAnswer(served, request);
        SCOPED_TRACE(std::string(c.method) + " " + c.range + " " + c.ifRange);
        EXPECT_EQ(w.status, c.status);
        const auto header = [&](const std::string& name) {
            for (const auto& [n, v] : w.headers)
                if (n == name)
                    return std::optional(v);
            return std::optional<std::string>();
        };
        EXPECT_EQ(header("Content-Range"),
                  c.contentRange ? std::optional<std::string>(c.contentRange) : std::nullopt);
        EXPECT_EQ(header("ETag"), "\"abc\"");
        EXPECT_EQ(header("Accept-Ranges"), "bytes");
        EXPECT_EQ(header("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(w.file.has_value(), c.status != 416);
        if (w.file) {
            EXPECT_EQ(w.file->path, "/d/abc");
            EXPECT_EQ(w.file->offset, c.offset);
            EXPECT_EQ(w.file->length, c.length);
            EXPECT_EQ(header("Content-Disposition"), "attachment; filename=\"Pelvoran.exe\"");
            EXPECT_EQ(w.type, "application/octet-stream");
        }
        EXPECT_EQ(countsAsDownload(request, served, w), c.download);
    }
}

TEST(Limits, ConnectionsPerClientAndPerGroup) {
    Watched w(testLimits());
    auto* a1 = w.open(1, "a");
    auto* a2 = w.open(2, "a");
    auto* a3 = w.open(3, "a");
    auto* proxy = w.open(4, "");
    auto* proxy2 = w.open(5, "");
    auto* proxy3 = w.open(6, "");
    EXPECT_EQ(w.ended, std::set<int>{3}) << "the third from one client is ended at once";
    w.guard.closed(a3);
    w.guard.closed(a1);
    auto* a4 = w.open(7, "a");
    EXPECT_EQ(w.ended, std::set<int>{3}) << "a place is free again";
    // Three a /48, whatever their /64s.
    std::vector<ConnectionGuard::Connection*> site;
    for (int i = 0; i < 4; ++i)
        site.push_back(
            w.open(10 + i, "2001:db8:1:" + std::to_string(i) + "::/64", "2001:db8:1::/48"));
    site.push_back(w.open(20, "2001:db8:2::/64", "2001:db8:2::/48"));
    EXPECT_EQ(w.ended, (std::set<int>{3, 13})) << "the fourth from one /48";
    for (auto* c : site)
        w.guard.closed(c);
    // Closed, they leave their /48's places free again.
    std::vector<ConnectionGuard::Connection*> again;
    for (int i = 0; i < 3; ++i)
        again.push_back(
            w.open(30 + i, "2001:db8:1:" + std::to_string(i) + "::/64", "2001:db8:1::/48"));
    EXPECT_EQ(w.ended, (std::set<int>{3, 13})) << "the /48's places are free again";
    for (auto* c : again)
        w.guard.closed(c);
    for (auto* c : {a2, a4, proxy, proxy2, proxy3})
        w.guard.closed(c);
    EXPECT_EQ(w.guard.open(), 0u);

    // Limits of 0 are none.
    ConnectionGuard::Limits none = testLimits();
    none.perClient = 0;
    none.perGroup = 0;
    Watched u(none);
    std::vector<ConnectionGuard::Connection*> many;
    for (int fd = 1; fd <= 5; ++fd)
        many.push_back(u.open(fd, "a", "2001:db8:1::/48"));
    EXPECT_TRUE(u.ended.empty());
    for (auto* c : many)
        u.guard.closed(c);
}

// The budget pays for bytes as they come; a client past its share is cut,
// and a short group share or budget cuts slower bodies first, slowest
// first, and takes their reservations back at once.
TEST(Limits, TheBodyBudgetGoesToTheFastest) {
    Watched w(testLimits());
    auto body = [&](int fd, const std::string& key, std::uint64_t bytes,
                    const std::string& group = "") {
        auto* c = w.open(fd, key, group);
        w.guard.headArrived(c, 2000, t0);
        w.guard.bodyArrived(c, bytes);
        return c;
    };
    const auto now = t0 + 10s;
    // Bodies of 2,000 bytes, 10 s after their heads: 300 bytes in (the
    // whole would take 67 s), 400, 1,000 (20 s); then 400 (50 s) and
    // 1,600 (12.5 s) from one /48.
    auto* slow = body(1, "slow", 300);
    ASSERT_TRUE(w.guard.reserve(slow, 300, now));
    auto* greedy = body(2, "greedy", 400);
    ASSERT_TRUE(w.guard.reserve(greedy, 350, now));
    auto* mid = body(3, "mid", 1000);
    ASSERT_TRUE(w.guard.reserve(mid, 300, now));
    EXPECT_FALSE(w.guard.reserve(greedy, 51, now)) << "past its client's share";
    EXPECT_EQ(w.ended, std::set<int>{2});
    EXPECT_EQ(w.guard.reserved(), 600u) << "its reservation back at once";
    auto* siteSlow = body(4, "2001:db8:1:1::/64", 400, "2001:db8:1::/48");
    ASSERT_TRUE(w.guard.reserve(siteSlow, 200, now));
    auto* siteFast = body(5, "2001:db8:1:2::/64", 1600, "2001:db8:1::/48");
    ASSERT_TRUE(w.guard.reserve(siteFast, 200, now));
    EXPECT_EQ(w.guard.reserved(), 1000u);

    // The budget is full: a faster body (600 bytes in its first second,
    // 3.3 s in all) cuts the slowest until it fits, and no more.
    auto* fresh = w.open(6, "fresh");
    w.guard.headArrived(fresh, 2000, now - 1s);
    w.guard.bodyArrived(fresh, 600);
    EXPECT_TRUE(w.guard.reserve(fresh, 250, now));
    EXPECT_EQ(w.ended, (std::set<int>{1, 2})) << "300 bytes from the slowest";
    EXPECT_FALSE(w.guard.reserve(slow, 1, now)) << "a cut body's later chunks are refused";
    EXPECT_TRUE(w.guard.reserve(fresh, 150, now));
    EXPECT_EQ(w.ended, (std::set<int>{1, 2, 4})) << "then the next slowest";
    EXPECT_EQ(w.guard.reserved(), 900u);
    auto* crawl = body(7, "crawl", 200); // 100 s
    EXPECT_FALSE(w.guard.reserve(crawl, 200, now)) << "nothing slower: the asker goes";
    EXPECT_EQ(w.ended, (std::set<int>{1, 2, 4, 7}));
    w.guard.requestDone(fresh, now);
    EXPECT_EQ(w.guard.reserved(), 500u) << "a finished request gives its reservation back";

    // A /48 past its quarter cuts its own slower bodies, not others'.
    auto* siteFaster = body(8, "2001:db8:1:3::/64", 2000, "2001:db8:1::/48"); // 10 s
    EXPECT_TRUE(w.guard.reserve(siteFaster, 301, now));
    EXPECT_EQ(w.ended, (std::set<int>{1, 2, 4, 5, 7}));
    EXPECT_EQ(w.guard.reserved(), 601u);

    // A body that is all in (its comment being committed) is not cut, however
    // slow it came: its client must hear how the commit ended.
    w.guard.requestArrived(mid);
    auto* quick = w.open(9, "quick");
    w.guard.headArrived(quick, 2000, now - 1s);
    w.guard.bodyArrived(quick, 2000);
    EXPECT_TRUE(w.guard.reserve(quick, 400, now));
    EXPECT_EQ(w.ended, (std::set<int>{1, 2, 4, 5, 7, 8}));
    for (auto* c : {slow, greedy, mid, siteSlow, siteFast, fresh, crawl, siteFaster, quick})
        w.guard.closed(c);
    EXPECT_EQ(w.guard.reserved(), 0u);

    // Descriptor 0 is a connection like any other; a body may take the
    // whole budget, never more, cutting as many slower ones as it takes.
    auto* first = body(0, "", 100); // 200 s
    ASSERT_TRUE(w.guard.reserve(first, 500, now));
    auto* second = body(16, "", 200); // 100 s
    ASSERT_TRUE(w.guard.reserve(second, 500, now));
    auto* whole = body(10, "", 2000);
    EXPECT_TRUE(w.guard.reserve(whole, 1000, now));
    auto* over = body(11, "", 2000);
    EXPECT_FALSE(w.guard.reserve(over, 1001, now));
    EXPECT_EQ(w.ended, (std::set<int>{0, 1, 2, 4, 5, 7, 8, 11, 16}));
    for (auto* c : {first, second, whole, over})
        w.guard.closed(c);
    EXPECT_EQ(w.guard.reserved(), 0u);
    // Five heads, one on descriptor 0, crowd five of the six slots: 2 s each.
    std::vector<ConnectionGuard::Connection*> heads;
    for (const int fd : {0, 12, 13, 14, 15})
        heads.push_back(w.open(fd, "head" + std::to_string(fd)));
    EXPECT_EQ(w.guard.sweep(t0 + 2s), 5u);
    for (auto* c : heads)
        w.guard.closed(c);
}

// Each listener is crowded by its own connections; a crowded one sheds the
// bodies and downloads that have taken longer than the crowded head
// deadline, slowest first, until it is below its mark; never an answer from
// memory nor a body all in.
TEST(Limits, CrowdedIsDecidedPerListener) {
    std::set<int> ended;
    std::vector<int> order;
    std::map<int, std::uint64_t> taken;
    ConnectionGuard guard(
        testLimits(),
        [&](int fd) {
            ended.insert(fd);
            order.push_back(fd);
        },
        [&](int fd) { return taken[fd]; });
    auto& quiet = guard.listener(8); // crowded at 6
    auto& busy = guard.listener(8);
    std::vector<ConnectionGuard::Connection*> all;
    auto open = [&](ConnectionGuard::Listener& on, int fd, std::uint64_t bytes) {
        auto* c = guard.opened(on, fd, {"k" + std::to_string(fd), ""}, t0);
        if (bytes > 0) {
            guard.headArrived(c, 10000, t0);
            guard.bodyArrived(c, bytes);
        }
        all.push_back(c);
        return c;
    };
    for (int fd = 1; fd <= 5; ++fd)
        open(quiet, fd, 0); // heads
    open(busy, 11, 0);      // a head
    for (int fd = 12; fd <= 18; ++fd)
        open(busy, fd, 20000 - 1000 * static_cast<std::uint64_t>(fd)); // 8,000 for 12 ... 2,000
    EXPECT_EQ(guard.sweep(t0 + 1900ms), 0u) << "no body shed before 2 s";
    EXPECT_EQ(guard.sweep(t0 + 2s), 3u);
    EXPECT_EQ(ended, (std::set<int>{11, 17, 18})) << "the head, then the two slowest bodies";
    EXPECT_EQ(guard.sweep(t0 + 9s), 0u) << "below the mark: nothing more";
    EXPECT_EQ(guard.sweep(t0 + 10s), 5u) << "the quiet listener's heads had 10 s";

    // A download weighs as a body of 1 MiB at its rate: 3 s after its answer
    // began, 300 KiB taken is 10 s a MiB, 3 KiB 1,000 s, and the body with
    // 2 KiB of 1 MiB in 3 s takes 1,500 s; those that took nothing go first,
    // the oldest first. One younger than 2 s is weighed only once its client
    // has taken nothing for 150 ms.
    for (auto* c : all)
        guard.closed(c);
    all.clear();
    order.clear();
    auto& serving = guard.listener(8); // crowded at 6
    const auto at = t0 + 1h;
    auto download = [&](int fd, std::uint64_t bytes, std::chrono::milliseconds age) {
        auto* c = guard.opened(serving, fd, {"k" + std::to_string(fd), ""}, at);
        guard.headArrived(c, 0, at);
        guard.requestArrived(c);
        guard.answerTakes(c, 10 << 20, at + 3s - age);
        taken[fd] = bytes;
        all.push_back(c);
    };
    auto* check = guard.opened(serving, 21, {"k21", ""}, at); // answered from memory
    guard.headArrived(check, 0, at);
    guard.requestArrived(check);
    auto* comment = guard.opened(serving, 22, {"k22", ""}, at); // all in, being committed
    guard.headArrived(comment, 100, at);
    guard.bodyArrived(comment, 100);
    guard.requestArrived(comment);
    auto* slowBody = guard.opened(serving, 23, {"k23", ""}, at);
    guard.headArrived(slowBody, 1 << 20, at);
    guard.bodyArrived(slowBody, 2 << 10);
    all.insert(all.end(), {check, comment, slowBody});
    download(24, 300 << 10, 3s);
    download(25, 3 << 10, 3s);
    download(26, 0, 2500ms);
    download(27, 0, 3s);
    download(28, 16 << 10, 1s); // young and taking it
    EXPECT_EQ(guard.sweep(at + 3s), 3u) << "eight open: down to five";
    EXPECT_EQ(order, (std::vector<int>{27, 26, 23}));
    download(29, 0, 0s);
    download(30, 0, 100ms);
    EXPECT_EQ(guard.sweep(at + 3s), 2u);
    EXPECT_EQ(order, (std::vector<int>{27, 26, 23, 25, 24})) << "the slower of two first";
    download(31, 0, 0s);
    EXPECT_EQ(guard.sweep(at + 3s), 0u) << "crowded, but none old or stalled but the check "
                                           "and the comment, never cut";
    taken[28] += 8 << 10;
    taken[29] = 64 << 10;
    EXPECT_EQ(guard.sweep(at + 3300ms), 1u);
    EXPECT_EQ(order.back(), 30) << "the older of two that took nothing";
    for (auto* c : all)
        guard.closed(c);
}

// What a stop waits for: answers under way and bodies still arriving, not a
// head, not a body that stopped coming, not a connection already ended.
TEST(Limits, AStopWaitsOnlyForRequestsStillMoving) {
    Watched w(testLimits());
    auto* head = w.open(1, "a");
    auto* moving = w.open(2, "b");
    w.guard.headArrived(moving, 100, t0);
    w.guard.bodyArrived(moving, 10, t0 + 900ms);
    auto* stalled = w.open(3, "c");
    w.guard.headArrived(stalled, 100, t0);
    w.guard.bodyArrived(stalled, 10, t0 + 100ms);
    auto* answering = w.open(4, "d");
    w.guard.headArrived(answering, 0, t0);
    w.guard.requestArrived(answering);
    EXPECT_EQ(w.guard.unsettled(t0 + 1s, 500ms), 2u) << "the moving body and the answer";
    EXPECT_EQ(w.guard.unsettled(t0 + 2s, 500ms), 1u) << "the answer alone";
    w.guard.requestDone(answering, t0 + 2s);
    EXPECT_EQ(w.guard.unsettled(t0 + 2s, 500ms), 0u);
    for (auto* c : {head, moving, stalled, answering})
        w.guard.closed(c);
}
