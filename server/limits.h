#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

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
    /// The whole address, as inet_ntop writes it.
    std::string text() const;
    bool operator==(const ClientAddress&) const = default;

private:
    bool v4_ = false;
    std::array<unsigned char, 16> bytes_{};
};

/// Comments and their bytes that one client may still send: two buckets
/// that refill evenly over the hour. The table is bounded: when it is full,
/// the clients with the most allowance left are forgotten first (forgetting
/// them costs nothing), the oldest among equals; a client that used its
/// allowance is the last to go.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    /// 0 for either limit: no limit of that kind.
    RateLimiter(unsigned commentsPerHour, std::uint64_t bytesPerHour,
                std::size_t maxClients = 100000);

    /// Takes one comment of `bytes` from `key`'s allowance; false, and
    /// nothing taken, when either bucket holds too little.
    bool allow(const std::string& key, std::uint64_t bytes, Clock::time_point now = Clock::now());

    std::size_t tracked() const;

private:
    struct Bucket {
        double comments;
        double bytes;
        Clock::time_point last;
    };
    void refill(Bucket& b, Clock::time_point now) const;
    /// The allowance left, from 0 (used up) to 1 (a whole hour's).
    double left(const Bucket& b) const;
    void forgetHalf(Clock::time_point now);

    const double commentsPerHour_;
    const double bytesPerHour_;
    const std::size_t maxClients_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

/// Bounds what slow and half-sent requests can take: a deadline for each
/// request head, a minimum rate for a body, a budget for all bodies being
/// received, and the connections one client may hold. The HTTP layer
/// reports each connection's steps; `sweep`, called a few times a second,
/// shuts down the sockets of the late ones, and the HTTP library then
/// closes them.
class ConnectionGuard {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        /// From a connection's start, or the end of its last request, to
        /// the end of the next request head.
        std::chrono::milliseconds headTimeout{10000};
        /// Once the number of connections reaches `crowded`, heads get
        /// this long instead, so that slow clients cannot keep fast ones out.
        std::chrono::milliseconds crowdedHeadTimeout{2000};
        std::size_t crowded = SIZE_MAX;
        /// A body must bring at least this many bytes a second, measured
        /// over each `rateWindow`; 0: no minimum.
        std::uint64_t minBodyRate = 1024;
        std::chrono::milliseconds rateWindow{10000};
        /// Bytes of all bodies being received at once.
        std::uint64_t bodyBudget = 64 * 1024 * 1024;
        /// Connections one limit key may hold; 0: no limit.
        unsigned perClient = 64;
    };

    /// One open connection, as the HTTP layer reports it.
    class Connection {
        friend class ConnectionGuard;
        enum class Phase : int { Head, Body, Answer };
        int fd_ = -1;
        std::string key_;
        bool counted_ = false;
        std::atomic<Phase> phase_{Phase::Head};
        std::atomic<Clock::rep> since_{0}; // start of the phase or rate window
        std::atomic<std::uint64_t> windowBytes_{0};
    };

    /// How a late connection is ended; by default shutdown(2).
    using Closer = std::function<void(int fd)>;

    explicit ConnectionGuard(Limits limits, Closer closer = {});

    /// Notes a new connection from `key` (the limit key of its client;
    /// empty for the trusted proxy, which is never limited). One more than
    /// the key may hold is shut down at once.
    Connection* opened(int fd, const std::string& key, Clock::time_point now = Clock::now());
    void closed(Connection* c);
    /// The request head is in: from now on its body is measured.
    void headArrived(Connection* c, Clock::time_point now = Clock::now());
    void bodyArrived(Connection* c, std::uint64_t bytes);
    /// The whole request is in; the answer takes no deadline of ours.
    void requestArrived(Connection* c);
    /// The answer is sent: the next head's deadline starts.
    void requestDone(Connection* c, Clock::time_point now = Clock::now());

    /// Reserves `bytes` of the body budget; false, and nothing reserved,
    /// when they do not fit.
    bool reserve(std::uint64_t bytes);
    void unreserve(std::uint64_t bytes);
    std::uint64_t reserved() const { return reserved_.load(); }

    /// Ends the connections whose head or body is late; how many.
    std::size_t sweep(Clock::time_point now = Clock::now());

    std::size_t open() const;

private:
    const Limits limits_;
    const Closer closer_;
    mutable std::mutex mutex_;
    std::unordered_set<Connection*> open_;
    std::unordered_map<std::string, unsigned> perClient_;
    std::atomic<std::uint64_t> reserved_{0};
};

} // namespace pelvoran::server
