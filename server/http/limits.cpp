#include "server/http/limits.h"

#include "server/http/web.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <limits>
#include <linux/tcp.h>
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

std::string ClientAddress::groupKey() const {
    if (v4_)
        return "";
    char text[INET6_ADDRSTRLEN] = {};
    std::array<unsigned char, 16> prefix{};
    std::copy_n(bytes_.begin(), 6, prefix.begin());
    inet_ntop(AF_INET6, prefix.data(), text, sizeof text);
    return std::string(text) + "/48";
}

std::string ClientAddress::networkKey() const {
    if (v4_)
        return "4" + std::string(bytes_.begin(), bytes_.begin() + 3);
    return "6" + std::string(bytes_.begin(), bytes_.begin() + 6);
}

std::string ClientAddress::text() const {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(v4_ ? AF_INET : AF_INET6, bytes_.data(), text, sizeof text);
    return text;
}

RateLimiter::RateLimiter(unsigned commentsPerHour, std::uint64_t bytesPerHour, const Clock& clock,
                         std::size_t maxClients)
    : commentsPerHour_(commentsPerHour), bytesPerHour_(static_cast<double>(bytesPerHour)),
      clock_(clock), maxClients_(std::max<std::size_t>(maxClients, 2)) {}

void RateLimiter::refill(Bucket& b, TimePoint now) const {
    const double hours = std::chrono::duration<double>(now - b.last).count() / 3600;
    if (hours <= 0) {
        // A clock set back: no time has passed since, rather than none
        // until it is where it was.
        b.last = std::min(b.last, now);
        return;
    }
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

void RateLimiter::forgetHalf(TimePoint now) {
    struct Entry {
        double left;
        TimePoint last;
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

bool RateLimiter::allow(const std::string& key, std::uint64_t bytes) {
    if (commentsPerHour_ == 0 && bytesPerHour_ == 0)
        return true;
    const TimePoint now = clock_.now();
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

namespace {

/// What the peer of `fd` has acknowledged; 0 when it cannot be read.
std::uint64_t bytesAcknowledged(int fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return 0;
    return info.tcpi_bytes_acked;
}

} // namespace

ConnectionGuard::ConnectionGuard(Limits limits, Closer closer, Meter meter)
    : limits_(limits),
      closer_(closer ? std::move(closer) : Closer([](int fd) { ::shutdown(fd, SHUT_RDWR); })),
      meter_(meter ? std::move(meter) : Meter(bytesAcknowledged)) {}

ConnectionGuard::~ConnectionGuard() {
    for (Connection* c : open_)
        delete c;
}

ConnectionGuard::Listener& ConnectionGuard::listener(std::size_t slots) {
    auto l = std::make_unique<Listener>();
    l->crowded = std::max<std::size_t>(1, slots - slots / 4);
    const std::lock_guard lock(mutex_);
    listeners_.push_back(std::move(l));
    return *listeners_.back();
}

ConnectionGuard::Connection* ConnectionGuard::opened(Listener& on, int fd, const Peer& peer,
                                                     Clock::time_point now) {
    auto* c = new Connection;
    c->listener_ = &on;
    c->fd_ = fd;
    c->peer_ = peer;
    c->since_ = now.time_since_epoch().count();
    const std::lock_guard lock(mutex_);
    open_.insert(c);
    if (fd >= 0)
        ++on.live;
    if (peer.key.empty())
        return c;
    bool over = false;
    if (limits_.perClient > 0) {
        unsigned& n = perClient_[peer.key];
        over = n >= limits_.perClient;
        if (!over) {
            ++n;
            c->counted_ = true;
        }
    }
    if (!over && limits_.perGroup > 0 && !peer.group.empty()) {
        unsigned& n = perGroup_[peer.group];
        over = n >= limits_.perGroup;
        if (!over) {
            ++n;
            c->groupCounted_ = true;
        }
    }
    if (over)
        end(c);
    return c;
}

void ConnectionGuard::closed(Connection* c) {
    if (c == nullptr)
        return;
    {
        const std::lock_guard lock(mutex_);
        release(c);
        if (c->fd_ >= 0)
            --c->listener_->live;
        open_.erase(c);
        const auto uncount = [](auto& counts, const std::string& key) {
            const auto it = counts.find(key);
            if (it != counts.end() && --it->second == 0)
                counts.erase(it);
        };
        if (c->counted_)
            uncount(perClient_, c->peer_.key);
        if (c->groupCounted_)
            uncount(perGroup_, c->peer_.group);
    }
    delete c;
}

void ConnectionGuard::headArrived(Connection* c, std::uint64_t length, Clock::time_point now) {
    if (c == nullptr)
        return;
    c->windowBytes_ = 0;
    c->bodyBytes_ = 0;
    c->length_ = length;
    c->bodyBy_ = 0;
    c->headAt_ = now.time_since_epoch().count();
    c->movedAt_ = now.time_since_epoch().count();
    c->since_ = now.time_since_epoch().count();
    c->phase_ = Connection::Phase::Body;
}

void ConnectionGuard::bodyArrived(Connection* c, std::uint64_t bytes, Clock::time_point now) {
    if (c == nullptr)
        return;
    c->windowBytes_ += bytes;
    c->bodyBytes_ += bytes;
    c->movedAt_ = now.time_since_epoch().count();
}

namespace {

/// Seconds `bytes` take at the rate `moved` bytes came since `since`.
double secondsFor(std::uint64_t bytes, std::uint64_t moved, ConnectionGuard::Clock::rep since,
                  ConnectionGuard::Clock::time_point now) {
    using Clock = ConnectionGuard::Clock;
    if (moved == 0)
        return std::numeric_limits<double>::infinity();
    const auto took = now - Clock::time_point(Clock::duration(since));
    // At least a millisecond: a body that came with its head is fast, not free.
    const double seconds = std::max(std::chrono::duration<double>(took).count(), 0.001);
    return seconds * static_cast<double>(bytes) / static_cast<double>(moved);
}

/// Seconds the whole body takes at the rate it has come since its head
/// (see ConnectionGuard).
double slowness(std::uint64_t got, std::uint64_t length, ConnectionGuard::Clock::rep headAt,
                ConnectionGuard::Clock::time_point now) {
    return secondsFor(std::max(length, got), got, headAt, now);
}

} // namespace

bool ConnectionGuard::reserve(Connection* c, std::uint64_t bytes, Clock::time_point now) {
    if (c == nullptr)
        return false;
    const std::lock_guard lock(mutex_);
    if (c->fd_ < 0)
        return false; // cut meanwhile: its later chunks are refused
    const Peer& p = c->peer_;
    const auto heldBy = [](const auto& held, const std::string& key) -> std::uint64_t {
        const auto it = held.find(key);
        return it == held.end() ? 0 : it->second;
    };
    const std::uint64_t client = p.key.empty() ? 0 : heldBy(clientBytes_, p.key);
    bool fits =
        p.key.empty() || (bytes <= limits_.clientShare && client <= limits_.clientShare - bytes);
    if (fits && !p.key.empty() && !p.group.empty())
        fits = makeRoom(
            c, bytes, [&] { return heldBy(groupBytes_, p.group); }, limits_.groupShare,
            [&](const Connection& o) { return o.peer_.group == p.group; }, now);
    if (fits)
        fits = makeRoom(
            c, bytes, [&] { return reserved_; }, limits_.bodyBudget,
            [](const Connection&) { return true; }, now);
    if (!fits) {
        end(c);
        return false;
    }
    c->reserved_ += bytes;
    reserved_ += bytes;
    if (!p.key.empty()) {
        clientBytes_[p.key] += bytes;
        if (!p.group.empty())
            groupBytes_[p.group] += bytes;
    }
    return true;
}

bool ConnectionGuard::makeRoom(Connection* asker, std::uint64_t bytes,
                               const std::function<std::uint64_t()>& held, std::uint64_t limit,
                               const std::function<bool(const Connection&)>& inScope,
                               Clock::time_point now) {
    const auto fits = [&] { return bytes <= limit && held() <= limit - bytes; };
    if (fits())
        return true;
    if (bytes > limit)
        return false;
    const auto slow = [now](const Connection& c) {
        return slowness(c.bodyBytes_, c.length_, c.headAt_, now);
    };
    const double asking = slow(*asker);
    // Only bodies still arriving: a whole one may be in the middle of its
    // commit, and its client must hear how that ended.
    std::vector<std::pair<double, Connection*>> slower;
    for (Connection* o : open_)
        if (o != asker && o->fd_ >= 0 && o->reserved_ > 0 && o->phase_ == Connection::Phase::Body &&
            inScope(*o))
            if (const double s = slow(*o); s > asking)
                slower.emplace_back(s, o);
    std::sort(slower.begin(), slower.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (auto it = slower.begin(); it != slower.end() && !fits(); ++it)
        end(it->second);
    return fits();
}

void ConnectionGuard::end(Connection* c) {
    if (c->fd_ < 0)
        return; // once
    closer_(c->fd_);
    c->fd_ = -1;
    --c->listener_->live;
    release(c);
}

void ConnectionGuard::release(Connection* c) {
    if (c->reserved_ == 0)
        return;
    const auto take = [&](auto& held, const std::string& key) {
        const auto it = held.find(key);
        if (it != held.end() && (it->second -= c->reserved_) == 0)
            held.erase(it);
    };
    if (!c->peer_.key.empty()) {
        take(clientBytes_, c->peer_.key);
        if (!c->peer_.group.empty())
            take(groupBytes_, c->peer_.group);
    }
    reserved_ -= c->reserved_;
    c->reserved_ = 0;
}

void ConnectionGuard::requestArrived(Connection* c) {
    if (c != nullptr)
        c->phase_ = Connection::Phase::Answer;
}

namespace {

/// The head timeout plus `bytes` at `rate` bytes a second.
ConnectionGuard::Clock::rep deadline(const ConnectionGuard::Limits& limits, std::uint64_t bytes,
                                     ConnectionGuard::Clock::time_point now) {
    const std::uint64_t rate = limits.minBodyRate;
    const auto allowed =
        limits.headTimeout + std::chrono::milliseconds(static_cast<std::int64_t>(
                                 bytes / rate * 1000 + bytes % rate * 1000 / rate));
    return (now + allowed).time_since_epoch().count();
}

} // namespace

void ConnectionGuard::bodyTakes(Connection* c, std::uint64_t bytes, Clock::time_point now) {
    if (c == nullptr)
        return;
    // No minimum rate: no deadline either, as for an answer.
    c->bodyBy_ = limits_.minBodyRate > 0 ? deadline(limits_, bytes, now)
                                         : std::numeric_limits<Clock::rep>::max();
}

void ConnectionGuard::answerTakes(Connection* c, std::uint64_t bytes, Clock::time_point now) {
    if (c == nullptr)
        return;
    const std::lock_guard lock(mutex_);
    if (c->fd_ < 0)
        return;
    c->sendingFile_ = true;
    c->answerAt_ = now.time_since_epoch().count();
    c->answerBy_ = limits_.minBodyRate > 0 ? deadline(limits_, bytes, now) : 0;
    c->takenBefore_ = meter_(c->fd_);
    c->taken_ = 0;
    c->takenAt_ = c->answerAt_;
}

void ConnectionGuard::requestDone(Connection* c, Clock::time_point now) {
    if (c == nullptr)
        return;
    {
        const std::lock_guard lock(mutex_);
        c->sendingFile_ = false;
        c->answerBy_ = 0;
        release(c);
    }
    c->since_ = now.time_since_epoch().count();
    c->phase_ = Connection::Phase::Head;
}

std::size_t ConnectionGuard::sweep(Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const double windowSeconds = std::chrono::duration<double>(limits_.rateWindow).count();
    std::size_t ended = 0;
    // How slow each is (seconds), and since when it is measured.
    struct Sheddable {
        double slowness;
        Clock::rep since;
        Connection* c;
    };
    std::vector<Sheddable> sheddable;
    for (const auto& l : listeners_)
        l->crowdedNow = l->live >= l->crowded;
    for (Connection* c : open_) {
        if (c->fd_ < 0)
            continue;
        const bool crowded = c->listener_->crowdedNow;
        // The phase first: its start was written before it.
        const auto phase = c->phase_.load();
        const Clock::time_point since{Clock::duration(c->since_.load())};
        const Clock::time_point headAt{Clock::duration(c->headAt_.load())};
        bool late = false;
        if (phase == Connection::Phase::Head) {
            late = now - since >= (crowded ? limits_.crowdedHeadTimeout : limits_.headTimeout);
        } else if (phase == Connection::Phase::Body) {
            const auto by = c->bodyBy_.load();
            late = by != 0 ? now.time_since_epoch().count() >= by
                           : now - headAt >= limits_.bodyTimeout;
            if (!late && limits_.minBodyRate > 0 && now - since >= limits_.rateWindow) {
                // One window over: enough bytes in it, or the connection ends.
                const std::uint64_t got = c->windowBytes_.exchange(0);
                late = static_cast<double>(got) <
                       windowSeconds * static_cast<double>(limits_.minBodyRate);
                c->since_ = now.time_since_epoch().count();
            }
            if (!late && crowded && now - headAt >= limits_.crowdedHeadTimeout)
                sheddable.push_back(
                    {slowness(c->bodyBytes_, c->length_, c->headAt_, now), c->headAt_, c});
        } else if (c->sendingFile_) {
            const std::uint64_t seen = meter_(c->fd_);
            if (seen > c->takenBefore_ + c->taken_) {
                c->taken_ = seen - c->takenBefore_;
                c->takenAt_ = now.time_since_epoch().count();
            }
            const Clock::time_point answerAt{Clock::duration(c->answerAt_)};
            const Clock::time_point takenAt{Clock::duration(c->takenAt_)};
            late = (c->answerBy_ != 0 && now.time_since_epoch().count() >= c->answerBy_) ||
                   now - takenAt >= limits_.answerIdle;
            // Weighed as the largest body coming at its rate.
            if (!late && crowded &&
                (now - answerAt >= limits_.crowdedHeadTimeout ||
                 now - takenAt >= limits_.crowdedAnswerStall))
                sheddable.push_back(
                    {secondsFor(kMaxBody, c->taken_, c->answerAt_, now), c->answerAt_, c});
        }
        if (late) {
            end(c);
            ++ended;
        }
    }
    // Crowded listeners shed their slowest bodies and downloads until below
    // their mark; among those that moved nothing, the oldest first.
    std::sort(sheddable.begin(), sheddable.end(), [](const Sheddable& a, const Sheddable& b) {
        return a.slowness != b.slowness ? a.slowness > b.slowness : a.since < b.since;
    });
    for (const Sheddable& shed : sheddable) {
        Connection* c = shed.c;
        if (c->listener_->live < c->listener_->crowded)
            continue;
        end(c);
        ++ended;
    }
    return ended;
}

std::size_t ConnectionGuard::open() const {
    const std::lock_guard lock(mutex_);
    return open_.size();
}

std::size_t ConnectionGuard::unsettled(Clock::time_point now,
                                       std::chrono::milliseconds quiet) const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(open_.begin(), open_.end(), [&](Connection* c) {
        if (c->fd_ < 0)
            return false; // ended: the library closes it
        const auto phase = c->phase_.load();
        const Clock::time_point moved{Clock::duration(c->movedAt_.load())};
        return phase == Connection::Phase::Answer ||
               (phase == Connection::Phase::Body && now - moved < quiet);
    }));
}

std::uint64_t ConnectionGuard::reserved() const {
    const std::lock_guard lock(mutex_);
    return reserved_;
}

} // namespace pelvoran::server
