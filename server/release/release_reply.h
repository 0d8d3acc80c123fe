#pragma once

#include "server/release/agent.h"
#include "server/release/release.h"

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server {

/// The bytes of a rollout key: which networks a staged release reaches
/// first is drawn by it, a new one for each published history row.
inline constexpr std::size_t kRolloutKeySize = 16;

/// A new rollout key, from OpenSSL's random generator.
std::string newRolloutKey();

/// Where `network` (ClientAddress::networkKey) falls among the networks, 0
/// to 99, drawn by HMAC-SHA-256 under `key`: the same on every check, and
/// unrelated between two keys.
unsigned rolloutDraw(std::string_view key, std::string_view network);

/// A percentage of the networks as the publisher writes it: a whole number,
/// 0 to 100, digits only.
std::optional<int> parsePercentage(std::string_view text);

/// What the update check offers the tools of one platform.
struct PlatformOffer {
    std::optional<Release> live; // the release published now
    int rollout = 100;           // the percentage of networks offered `live`
    std::string key = {};        // the rollout key of the live release's row
    /// What the other networks are offered: the newest earlier release of
    /// the platform that reached every network, unless a clear came since.
    std::optional<Release> earlier = {};

    bool operator==(const PlatformOffer&) const = default;
};

/// The newest release out to the tools of a platform: the live one while it
/// reaches any network (a staged one, to its share), else the earlier one
/// that every network gets while it is halted; nullopt when neither.
std::optional<Release> newestOut(const PlatformOffer& offer);

/// The update check's reply per platform, built once each time a release
/// or its rollout changes and shared by every answer.
class ReleaseReply {
public:
    struct Answer {
        std::shared_ptr<const std::string> body;
        /// The agent's platform; nullopt for an unknown agent (a 1.05 or
        /// older tool), which is answered as a Windows tool.
        std::optional<Platform> platform;
        /// The version offered: empty when the reply carries none, or one
        /// that is not newer than the tool's own (offersNewer).
        std::string offered;
    };

    /// Offers nothing to any platform yet.
    ReleaseReply();

    /// The reply for a check by `agent` from `network` (empty: not known,
    /// which is outside every rollout short of 100 %).
    Answer choose(const Agent& agent, std::string_view network) const;

    /// The offer of `platform` from now on.
    void set(Platform platform, const PlatformOffer& offer);
    /// The Windows release at 100 % (nullopt: none), as before platforms.
    void set(const std::optional<Release>& windows) { set(Platform::Windows, {windows}); }

private:
    /// One platform's offer as the answers need it, built once.
    struct Side {
        std::shared_ptr<const std::string> live, earlier;
        std::string liveVersion, earlierVersion;
        int rollout = 100;
        std::string key;
    };
    using Sides = std::array<Side, 2>;

    std::shared_ptr<const Sides> sides() const {
        const std::lock_guard lock(mutex_);
        return sides_;
    }

    mutable std::mutex mutex_;
    std::shared_ptr<const Sides> sides_;
};

} // namespace pelvoran::server
