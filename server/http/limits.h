#pragma once

#include "server/support/clock.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct sockaddr;

namespace pelvoran::server {

/// A client's IP address. An IPv4 address reached through an IPv6 socket
/// (::ffff:a.b.c.d) is that IPv4 address.
class ClientAddress {
public:
    static std::optional<ClientAddress> from(const sockaddr* sa);
    /// A numeric IPv4 or IPv6 address, blanks around it allowed; nullopt for
    /// anything else (a name, a port, garbage).
    static std::optional<ClientAddress> parse(std::string_view text);

    /// Who the limits count: the IPv4 address, or the /64 of an IPv6 one,
    /// since one host is handed a whole /64.
    std::string limitKey() const;
    /// The /48 of an IPv6 address, what one site is handed; empty for
    /// IPv4 (see ConnectionGuard).
    std::string groupKey() const;
    /// The client's network, as bytes that hold no whole address: "4" and
    /// the first three bytes of an IPv4 address (its /24), "6" and the first
    /// six of an IPv6 one (its /48). What a rollout and the distinct-client
    /// count tell networks by.
    std::string networkKey() const;
    /// The whole address, as inet_ntop writes it.
    std::string text() const;
    bool operator==(const ClientAddress&) const = default;

private:
    bool v4_ = false;
    std::array<unsigned char, 16> bytes_{};
};

/// Comments and their bytes that one client may still send: two buckets
/// that refill evenly over the hour, as `clock` (the daemon's) goes. The
/// table is bounded: when it is full, the clients with the most allowance
/// left are forgotten first (forgetting them costs nothing), the oldest
/// among equals; a client that used its allowance is the last to go.
class RateLimiter {
public:
    /// 0 for either limit: no limit of that kind.
    RateLimiter(unsigned commentsPerHour, std::uint64_t bytesPerHour,
                const Clock& clock = Clock::system(), std::size_t maxClients = 100000);

    /// Takes one comment of `bytes` from `key`'s allowance; false, and
    /// nothing taken, when either bucket holds too little.
    bool allow(const std::string& key, std::uint64_t bytes);

    std::size_t tracked() const;

private:
    using TimePoint = Clock::TimePoint;
    struct Bucket {
        double comments;
        double bytes;
        TimePoint last;
    };
    void refill(Bucket& b, TimePoint now) const;
    /// The allowance left, from 0 (used up) to 1 (a whole hour's).
    double left(const Bucket& b) const;
    void forgetHalf(TimePoint now);

    const double commentsPerHour_;
    const double bytesPerHour_;
    const Clock& clock_;
    const std::size_t maxClients_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

/// Fetches and confirmations of answers one client may make an hour: a tool
/// makes one of each at a start with an answer waiting.
inline constexpr unsigned kAnswerRequestsPerHour = 30;

// What the public listeners allow unless serve is told otherwise: the
// defaults of ServeOptions, ConnectionGuard::Limits and HttpListener::Settings.

/// Connections held open at once, shared between the public listeners.
inline constexpr unsigned kDefaultMaxConnections = 2000;
/// A connection that sends nothing for this long is closed, and a file
/// being sent whose client takes nothing for this long.
inline constexpr unsigned kDefaultIdleSeconds = 15;
/// From a connection's start, or the end of its last request, to the end
/// of the next request head.
inline constexpr std::chrono::milliseconds kDefaultHeadTimeout{10000};
/// From a request head's arrival to its body's end.
inline constexpr std::chrono::milliseconds kDefaultBodyTimeout{60000};
/// Bytes a second a body must bring.
inline constexpr std::uint64_t kDefaultMinBodyRate = 1024;
/// Bytes of all comment bodies being received at once.
inline constexpr std::uint64_t kDefaultBodyBudget = 64 * 1024 * 1024;
/// Connections one client may hold open at once.
inline constexpr unsigned kDefaultConnectionsPerClient = 64;

/// Bounds what slow and half-sent requests can take, so that no client and
/// no group of clients sending slowly keeps others out. The HTTP layer
/// reports each connection's steps; `sweep`, called five times a second,
/// and `reserve`, called as body bytes arrive, shut down the sockets of the
/// connections to end, and the HTTP library then closes them.
///
/// Slow, here, is how long a body would take in all at the rate it has come
/// since its head: its age times its announced length over what arrived.
/// That is how long it holds its slot and memory. The rate alone would rank
/// a short comment sent at once (17 bytes in a millisecond) below a
/// megabyte sent at once and then held back for a minute.
///
/// Slots. Each listener has its own (2,000 by default, split between the
/// public listeners) and is crowded at three quarters of them, counted on
/// its own: then heads get 2 s instead of 10 s, and each sweep cuts the
/// bodies that have been arriving for over 2 s, and the downloads that have
/// been going for over 2 s, slowest first, until the listener is below its
/// mark. A body sent at once never qualifies, and while anything slower
/// holds a slot it is not the one cut; an answer from memory (an update
/// check, a page) and a body all in are never cut. So of the audit's 2,048
/// slow bodies or downloads (32 addresses x 64), all those past 1,500 are
/// cut once 2 s old, and slots keep turning over for whoever comes. A route
/// that takes no body never reads one (the listener answers from the head
/// and closes), so a body dribbled there holds a slot for one round trip.
/// Every body also has its deadline (60 s from its head) and the minimum
/// rate (1 KiB/s over each 10 s).
///
/// Downloads. A file's answer is measured by what its client has taken
/// (the bytes its TCP stack acknowledged, read through `Meter`), not by
/// what the server wrote: the socket's buffers take megabytes at once and
/// then drain at the reader's pace, with no write for minutes. One whose
/// client takes nothing for `answerIdle` (the idle timeout, 15 s) is ended;
/// one that keeps taking has until its deadline, the head timeout plus its
/// size at the minimum rate. On a crowded listener a download weighs as a
/// body of the largest size (1 MiB) coming at its rate so far: the fewest
/// bytes in the longest time go first; those that took nothing, like the
/// bodies that brought nothing, go before everything else, the oldest
/// first. It is weighed once 2 s old, as a body, or once its client has
/// taken nothing for 150 ms (from one sweep to the next): the audit's 256
/// downloads that never read, all replaced at once every 14 s, would
/// otherwise fill the listener's 200 slots for 2 s each time, with no
/// update check let in.
///
/// Budget. The bodies being received hold at most `bodyBudget` (64 MiB) of
/// memory, paid for as their buffers grow with the bytes that arrive, never
/// from what a head announces: a head promising 1 MiB and sending nothing
/// holds nothing. One client (limit key) may hold an eighth (8 MiB, eight
/// whole comments at once), one IPv6 /48 a quarter. A chunk past its
/// client's share cuts its connection; one past its group's share, or the
/// whole budget, first cuts the group's, or anyone's, bodies slower than
/// its own, slowest first, and their reservations come back at once; a body
/// that still does not fit is cut. A comment sent at an ordinary line's
/// speed gets in while slower bodies hold the budget, and a dribbler holds
/// only what it has sent. IPv4 addresses form no group: a /24 holds an
/// ISP's unrelated customers (NAT pools among them), and the cuts by speed
/// already keep many slow addresses from crowding out a fast one. The
/// trusted proxy (an empty key) has no share, only the whole budget.
///
/// Connections. One client may hold `perClient` (64) at once, one IPv6 /48
/// `perGroup` (256), whatever they ask for (downloads too): a site is
/// handed a /48, 65,536 /64s.
class ConnectionGuard {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        /// From a connection's start, or the end of its last request, to
        /// the end of the next request head.
        std::chrono::milliseconds headTimeout = kDefaultHeadTimeout;
        /// On a crowded listener, heads get this long instead, and bodies
        /// that have been arriving for longer may be cut, slowest first.
        std::chrono::milliseconds crowdedHeadTimeout{2000};
        /// A body must bring at least this many bytes a second, measured
        /// over each `rateWindow`; 0: no minimum.
        std::uint64_t minBodyRate = kDefaultMinBodyRate;
        std::chrono::milliseconds rateWindow{10000};
        /// From the head's arrival to the body's end.
        std::chrono::milliseconds bodyTimeout = kDefaultBodyTimeout;
        /// A file's answer whose client takes no byte for this long ends.
        std::chrono::milliseconds answerIdle = std::chrono::seconds(kDefaultIdleSeconds);
        /// On a crowded listener, a file's answer whose client took no byte
        /// for this long may be cut before it is `crowdedHeadTimeout` old.
        std::chrono::milliseconds crowdedAnswerStall{150};
        /// Bytes of all bodies being received at once, and of those one
        /// client (an eighth) or one group (a quarter) may hold.
        std::uint64_t bodyBudget = kDefaultBodyBudget;
        std::uint64_t clientShare = kDefaultBodyBudget / 8;
        std::uint64_t groupShare = kDefaultBodyBudget / 4;
        /// Connections one limit key, and one group, may hold; 0: no limit.
        unsigned perClient = kDefaultConnectionsPerClient;
        unsigned perGroup = 4 * kDefaultConnectionsPerClient;
    };

    /// Who a connection counts against.
    struct Peer {
        /// The client's limit key; empty for the trusted proxy and on the
        /// admin listener, which are never limited.
        std::string key;
        /// Its group (ClientAddress::groupKey); empty: none.
        std::string group;
    };

    /// One listener's slots.
    class Listener {
        friend class ConnectionGuard;
        std::size_t crowded = SIZE_MAX; // live connections that crowd it
        std::size_t live = 0;           // open and not yet ended
        bool crowdedNow = false;        // as the sweep began
    };

    /// One open connection, as the HTTP layer reports it.
    class Connection {
        friend class ConnectionGuard;
        enum class Phase : int { Head, Body, Answer };
        Listener* listener_ = nullptr;
        int fd_ = -1; // -1 once ended
        Peer peer_;
        bool counted_ = false;
        bool groupCounted_ = false;
        std::uint64_t reserved_ = 0; // of the budget, under the guard's lock
        std::atomic<Phase> phase_{Phase::Head};
        std::atomic<Clock::rep> since_{0};   // start of the phase or rate window
        std::atomic<Clock::rep> headAt_{0};  // when the head was in
        std::atomic<Clock::rep> movedAt_{0}; // when its request last brought bytes
        std::atomic<std::uint64_t> windowBytes_{0};
        std::atomic<std::uint64_t> bodyBytes_{0};
        std::atomic<std::uint64_t> length_{0}; // announced; 0: unknown
        std::atomic<Clock::rep> bodyBy_{0};    // an upload's deadline; 0: the body timeout
        // A file's answer, under the guard's lock.
        bool sendingFile_ = false;
        Clock::rep answerAt_ = 0;       // when it began
        Clock::rep answerBy_ = 0;       // its deadline; 0: none
        std::uint64_t takenBefore_ = 0; // what the client had taken as it began
        std::uint64_t taken_ = 0;       // of it, at the last look
        Clock::rep takenAt_ = 0;        // when the client last took a byte
    };

    /// How a connection is ended; by default shutdown(2).
    using Closer = std::function<void(int fd)>;
    /// The bytes the client on `fd` has taken so far, all answers together;
    /// by default what its TCP stack acknowledged (TCP_INFO).
    using Meter = std::function<std::uint64_t(int fd)>;

    explicit ConnectionGuard(Limits limits, Closer closer = {}, Meter meter = {});
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    /// A listener of `slots` connections, crowded at three quarters of
    /// them; it lives as long as the guard.
    Listener& listener(std::size_t slots);

    /// Notes a new connection to `on` from `peer`. One more than the
    /// client or its group may hold is ended at once.
    Connection* opened(Listener& on, int fd, const Peer& peer,
                       Clock::time_point now = Clock::now());
    void closed(Connection* c);
    /// The request head is in, announcing a body of `length` bytes (0: no
    /// length given): from now on its body is measured.
    void headArrived(Connection* c, std::uint64_t length, Clock::time_point now = Clock::now());
    void bodyArrived(Connection* c, std::uint64_t bytes, Clock::time_point now = Clock::now());
    /// Reserves `bytes` more of the body budget for `c`'s request (given
    /// back when the request is done), cutting slower bodies when the
    /// budget is short; false when they cannot be had, or `c` was cut
    /// meanwhile: `c` is then ended.
    bool reserve(Connection* c, std::uint64_t bytes, Clock::time_point now = Clock::now());
    /// The body is a file upload of up to `bytes`: instead of the body
    /// timeout, it must be in within the head timeout plus its bytes at the
    /// minimum body rate (the rate is still checked over each window).
    void bodyTakes(Connection* c, std::uint64_t bytes, Clock::time_point now = Clock::now());
    /// The whole request is in; the answer takes no deadline of ours.
    void requestArrived(Connection* c);
    /// The answer is a file of `bytes`: it must be sent within the head
    /// timeout plus its bytes at the minimum body rate (none when the rate
    /// is 0), and its client must take a byte every `answerIdle`, or the
    /// connection is ended: a reader cannot hold a slot forever by reading
    /// slowly, nor one that stopped reading at all. The HTTP library's own
    /// idle timeout must be off meanwhile.
    void answerTakes(Connection* c, std::uint64_t bytes, Clock::time_point now = Clock::now());
    /// The answer is sent: the next head's deadline starts.
    void requestDone(Connection* c, Clock::time_point now = Clock::now());

    /// Ends the connections whose head, body or file is late or whose file
    /// is no longer taken, and the slowest bodies and downloads of crowded
    /// listeners; how many.
    std::size_t sweep(Clock::time_point now = Clock::now());

    std::size_t open() const;
    std::uint64_t reserved() const;
    /// Requests still under way at `now`: those being answered, and bodies
    /// whose bytes came within `quiet`. What a stop waits for: a body that
    /// stopped arriving (its client gone, or dribbling) is not.
    std::size_t unsettled(Clock::time_point now, std::chrono::milliseconds quiet) const;

private:
    void end(Connection* c);
    void release(Connection* c);
    /// Makes `bytes` fit beside `held` within `limit` by ending bodies
    /// slower than `asker`'s that `inScope` takes, slowest first; whether
    /// they fit.
    bool makeRoom(Connection* asker, std::uint64_t bytes,
                  const std::function<std::uint64_t()>& held, std::uint64_t limit,
                  const std::function<bool(const Connection&)>& inScope, Clock::time_point now);

    const Limits limits_;
    const Closer closer_;
    const Meter meter_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::unordered_set<Connection*> open_;
    std::unordered_map<std::string, unsigned> perClient_;
    std::unordered_map<std::string, unsigned> perGroup_;
    std::unordered_map<std::string, std::uint64_t> clientBytes_;
    std::unordered_map<std::string, std::uint64_t> groupBytes_;
    std::uint64_t reserved_ = 0;
};

} // namespace pelvoran::server
