#include "server/limits.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

namespace pelvoran::server {

std::optional<ClientAddress> ClientAddress::from(const sockaddr* sa) {
    if (sa == nullptr)
        return std::nullopt;
    ClientAddress a;
    if (sa->sa_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, sa, sizeof in);
        a.v4_ = true;
        std::memcpy(a.bytes_.data(), &in.sin_addr, 4);
        return a;
    }
    if (sa->sa_family != AF_INET6)
        return std::nullopt;
    sockaddr_in6 in6{};
    std::memcpy(&in6, sa, sizeof in6);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        a.v4_ = true;
        std::memcpy(a.bytes_.data(), in6.sin6_addr.s6_addr + 12, 4);
    } else {
        std::memcpy(a.bytes_.data(), in6.sin6_addr.s6_addr, 16);
    }
    return a;
}

std::optional<ClientAddress> ClientAddress::parse(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string s(text);
    sockaddr_in in{};
    if (inet_pton(AF_INET, s.c_str(), &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        return from(reinterpret_cast<const sockaddr*>(&in));
    }
    sockaddr_in6 in6{};
    if (inet_pton(AF_INET6, s.c_str(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        return from(reinterpret_cast<const sockaddr*>(&in6));
    }
    return std::nullopt;
}

std::string ClientAddress::limitKey() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (v4_) {
        inet_ntop(AF_INET, bytes_.data(), text, sizeof text);
        return text;
    }
    std::array<unsigned char, 16> prefix{};
    std::copy_n(bytes_.begin(), 8, prefix.begin());
    inet_ntop(AF_INET6, prefix.data(), text, sizeof text);
    return std::string(text) + "/64";
}

std::string ClientAddress::text() const {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(v4_ ? AF_INET : AF_INET6, bytes_.data(), text, sizeof text);
    return text;
}

RateLimiter::RateLimiter(unsigned commentsPerHour, std::uint64_t bytesPerHour,
                         std::size_t maxClients)
    : commentsPerHour_(commentsPerHour), bytesPerHour_(static_cast<double>(bytesPerHour)),
      maxClients_(std::max<std::size_t>(maxClients, 2)) {}

void RateLimiter::refill(Bucket& b, Clock::time_point now) const {
    const double hours = std::chrono::duration<double>(now - b.last).count() / 3600;
    if (hours <= 0)
        return;
    b.comments = std::min(commentsPerHour_, b.comments + hours * commentsPerHour_);
    b.bytes = std::min(bytesPerHour_, b.bytes + hours * bytesPerHour_);
    b.last = now;
}

double RateLimiter::left(const Bucket& b) const {
    double share = 1;
    if (commentsPerHour_ > 0)
        share = std::min(share, b.comments / commentsPerHour_);
    if (bytesPerHour_ > 0)
        share = std::min(share, b.bytes / bytesPerHour_);
    return share;
}

void RateLimiter::forgetHalf(Clock::time_point now) {
    struct Entry {
        double left;
        Clock::time_point last;
        const std::string* key;
    };
    std::vector<Entry> entries;
    entries.reserve(buckets_.size());
    for (auto& [key, b] : buckets_) {
        refill(b, now);
        entries.push_back({left(b), b.last, &key});
    }
    // Most allowance left first; among equals the longest unused.
    const auto half = entries.begin() + static_cast<std::ptrdiff_t>(entries.size() / 2);
    std::nth_element(entries.begin(), half, entries.end(), [](const Entry& a, const Entry& b) {
        return a.left != b.left ? a.left > b.left : a.last < b.last;
    });
    std::vector<std::string> gone;
    for (auto it = entries.begin(); it != half; ++it)
        gone.push_back(*it->key);
    for (const auto& key : gone)
        buckets_.erase(key);
}

bool RateLimiter::allow(const std::string& key, std::uint64_t bytes, Clock::time_point now) {
    if (commentsPerHour_ == 0 && bytesPerHour_ == 0)
        return true;
    const std::lock_guard lock(mutex_);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= maxClients_)
            forgetHalf(now);
        it = buckets_.emplace(key, Bucket{commentsPerHour_, bytesPerHour_, now}).first;
    }
    Bucket& b = it->second;
    refill(b, now);
    const double size = static_cast<double>(bytes);
    if ((commentsPerHour_ > 0 && b.comments < 1) || (bytesPerHour_ > 0 && b.bytes < size))
        return false;
    b.comments -= 1;
    b.bytes -= size;
    return true;
}

std::size_t RateLimiter::tracked() const {
    const std::lock_guard lock(mutex_);
    return buckets_.size();
}

ConnectionGuard::ConnectionGuard(Limits limits, Closer closer)
    : limits_(limits),
      closer_(closer ? std::move(closer) : Closer([](int fd) { ::shutdown(fd, SHUT_RDWR); })) {}

ConnectionGuard::Connection* ConnectionGuard::opened(int fd, const std::string& key,
                                                     Clock::time_point now) {
    auto* c = new Connection;
    c->fd_ = fd;
    c->key_ = key;
    c->since_ = now.time_since_epoch().count();
    const std::lock_guard lock(mutex_);
    open_.insert(c);
    if (key.empty() || limits_.perClient == 0)
        return c;
    unsigned& n = perClient_[key];
    if (n < limits_.perClient) {
        ++n;
        c->counted_ = true;
    } else {
        closer_(c->fd_);
        c->fd_ = -1;
    }
    return c;
}

void ConnectionGuard::closed(Connection* c) {
    if (c == nullptr)
        return;
    {
        const std::lock_guard lock(mutex_);
        open_.erase(c);
        if (c->counted_) {
            const auto it = perClient_.find(c->key_);
            if (it != perClient_.end() && --it->second == 0)
                perClient_.erase(it);
        }
    }
    delete c;
}

void ConnectionGuard::headArrived(Connection* c, Clock::time_point now) {
    if (c == nullptr)
        return;
    c->windowBytes_ = 0;
    c->since_ = now.time_since_epoch().count();
    c->phase_ = Connection::Phase::Body;
}

void ConnectionGuard::bodyArrived(Connection* c, std::uint64_t bytes) {
    if (c != nullptr)
        c->windowBytes_ += bytes;
}

void ConnectionGuard::requestArrived(Connection* c) {
    if (c != nullptr)
        c->phase_ = Connection::Phase::Answer;
}

void ConnectionGuard::requestDone(Connection* c, Clock::time_point now) {
    if (c == nullptr)
        return;
    c->since_ = now.time_since_epoch().count();
    c->phase_ = Connection::Phase::Head;
}

bool ConnectionGuard::reserve(std::uint64_t bytes) {
    std::uint64_t now = reserved_.load();
    do {
        if (bytes > limits_.bodyBudget || now > limits_.bodyBudget - bytes)
            return false;
    } while (!reserved_.compare_exchange_weak(now, now + bytes));
    return true;
}

void ConnectionGuard::unreserve(std::uint64_t bytes) {
    reserved_ -= bytes;
}

std::size_t ConnectionGuard::sweep(Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const auto headTimeout =
        open_.size() >= limits_.crowded ? limits_.crowdedHeadTimeout : limits_.headTimeout;
    const double windowSeconds = std::chrono::duration<double>(limits_.rateWindow).count();
    std::size_t ended = 0;
    for (Connection* c : open_) {
        // The phase first: its start was written before it.
        const auto phase = c->phase_.load();
        const Clock::time_point since{Clock::duration(c->since_.load())};
        bool late = false;
        if (phase == Connection::Phase::Head) {
            late = now - since >= headTimeout;
        } else if (phase == Connection::Phase::Body && limits_.minBodyRate > 0 &&
                   now - since >= limits_.rateWindow) {
            // One window over: enough bytes in it, or the connection ends.
            const std::uint64_t got = c->windowBytes_.exchange(0);
            late =
                static_cast<double>(got) < windowSeconds * static_cast<double>(limits_.minBodyRate);
            c->since_ = now.time_since_epoch().count();
        }
        if (late && c->fd_ >= 0) {
            closer_(c->fd_);
            c->fd_ = -1; // once
            ++ended;
        }
    }
    return ended;
}

std::size_t ConnectionGuard::open() const {
    const std::lock_guard lock(mutex_);
    return open_.size();
}

} // namespace pelvoran::server
