#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace pelvoran::server {

/// What the server counts for monitoring, since it started. Safe to count
/// from any thread.
class Metrics {
public:
    /// The statuses a comment is refused with.
    static constexpr std::array<unsigned, 4> kRefusals{400, 413, 429, 503};

    /// A series' labels: version, then platform ("windows", "linux"; empty
    /// when the agent said none).
    using Labels = std::pair<std::string, std::string>;
    /// Orders labels, and finds them by views: counting a check builds no key.
    struct LabelOrder {
        using is_transparent = void;
        template <class A, class B> bool operator()(const A& a, const B& b) const {
            return std::pair<std::string_view, std::string_view>(a.first, a.second) <
                   std::pair<std::string_view, std::string_view>(b.first, b.second);
        }
    };
    using Series = std::map<Labels, std::uint64_t, LabelOrder>;
    /// The most series a labelled count keeps; any further one counts as
    /// version kOtherVersions (support_texts.h), so that memory stays bounded
    /// whatever the caller passes.
    static constexpr std::size_t kMaxSeries = 512;

    /// An update check, under the labels the use counter gave it.
    void updateCheck(std::string_view version, std::string_view platform);
    /// A completed download of `version` of a platform's releases.
    void download(std::string_view version, std::string_view platform);
    /// A check answered with `version` of a platform's releases, newer than
    /// the tool's own.
    void offer(std::string_view version, std::string_view platform);
    void stored() { stored_.fetch_add(1, std::memory_order_relaxed); }
    /// A notification's send failed (a test send's does not count).
    void notificationFailed() { notificationFailures_.fetch_add(1, std::memory_order_relaxed); }
    /// A tool's fetch of answers (POST /answers) was answered, whatever it found.
    void answerFetch() { answerFetches_.fetch_add(1, std::memory_order_relaxed); }
    /// A tool's confirmation marked an answer delivered.
    void answerDelivered() { answersDelivered_.fetch_add(1, std::memory_order_relaxed); }
    /// A comment answered `status`; any status but those of kRefusals is
    /// counted as 400.
    void refused(unsigned status);
    /// A comment stored held as likely spam, for `reason` (a word of
    /// comment_hold.h); past kMaxReasons words, any other counts as the last.
    void held(std::string_view reason);
    static constexpr std::size_t kMaxReasons = 8;

    std::uint64_t updateChecks() const { return updateChecks_.load(); }
    std::uint64_t commentsStored() const { return stored_.load(); }
    std::uint64_t notificationFailures() const { return notificationFailures_.load(); }
    std::uint64_t answerFetches() const { return answerFetches_.load(); }
    std::uint64_t answersDelivered() const { return answersDelivered_.load(); }
    /// Refused comments so far, by status.
    std::map<unsigned, std::uint64_t> refusals() const;
    /// Comments held so far, by reason.
    std::map<std::string, std::uint64_t, std::less<>> heldByReason() const;
    Series updateChecksByLabel() const;
    Series downloads() const;
    Series offers() const;

private:
    mutable std::mutex labelled_;
    Series checksByLabel_;
    Series downloads_;
    Series offers_;
    std::map<std::string, std::uint64_t, std::less<>> held_;
    std::atomic<std::uint64_t> updateChecks_{0};
    std::atomic<std::uint64_t> stored_{0};
    std::atomic<std::uint64_t> notificationFailures_{0};
    std::atomic<std::uint64_t> answerFetches_{0};
    std::atomic<std::uint64_t> answersDelivered_{0};
    std::array<std::atomic<std::uint64_t>, kRefusals.size()> refused_{};
};

} // namespace pelvoran::server
