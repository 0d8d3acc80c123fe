#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>

namespace pelvoran::server {

/// What the server counts for monitoring, since it started. Safe to count
/// from any thread.
class Metrics {
public:
    /// The statuses a comment is refused with.
    static constexpr std::array<unsigned, 4> kRefusals{400, 413, 429, 503};

    void updateCheck() { updateChecks_.fetch_add(1, std::memory_order_relaxed); }
    void stored() { stored_.fetch_add(1, std::memory_order_relaxed); }
    /// A notification's send failed (a test send's does not count).
    void notificationFailed() { notificationFailures_.fetch_add(1, std::memory_order_relaxed); }
    /// A comment answered `status`; any status but those of kRefusals is
    /// counted as 400.
    void refused(unsigned status);

    std::uint64_t updateChecks() const { return updateChecks_.load(); }
    std::uint64_t commentsStored() const { return stored_.load(); }
    std::uint64_t notificationFailures() const { return notificationFailures_.load(); }
    /// Refused comments so far, by status.
    std::map<unsigned, std::uint64_t> refusals() const;

private:
    std::atomic<std::uint64_t> updateChecks_{0};
    std::atomic<std::uint64_t> stored_{0};
    std::atomic<std::uint64_t> notificationFailures_{0};
    std::array<std::atomic<std::uint64_t>, kRefusals.size()> refused_{};
};

} // namespace pelvoran::server
