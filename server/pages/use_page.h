#pragma once

#include "server/release/release_reply.h"

#include <chrono>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// The days the use page counts update checks over, up to today.
inline constexpr int kUseDays = 30;
/// The days of the versions in the field, up to today.
inline constexpr int kFieldDays = 90;

/// Update checks answered, per day of the server's local time.
using DayCounts = std::map<std::chrono::local_days, std::int64_t>;

/// One row of the versions in the field: a platform ("windows", "linux";
/// empty when the check said none) and a version label ("d.dd",
/// kEarlyLabel or kOtherLabel).
struct VersionKey {
    std::string platform;
    std::string version;
    auto operator<=>(const VersionKey&) const = default;
};
using VersionTally = std::map<VersionKey, std::int64_t>;

/// A day's counts: update checks, offers made and completed downloads, and
/// about how many distinct clients checked (none when no check counted one).
struct FieldDay {
    VersionTally checks;
    VersionTally offers;
    VersionTally downloads;
    std::optional<long long> clients;
};
/// Per local day.
using FieldDays = std::map<std::chrono::local_days, FieldDay>;

/// A platform's release as the use page shows it beside the figures.
struct PlatformRelease {
    Platform platform = Platform::Windows;
    /// The live release, its rollout and what the networks outside it get.
    PlatformOffer offer;
    /// When the newest release out (newestOut) was first published for the
    /// platform; the epoch for a row from before the history kept times.
    std::optional<std::chrono::sys_seconds> published = std::nullopt;
};

/// What the use page shows: the update checks per day, the versions in the
/// field, and each platform's release.
struct UseView {
    DayCounts checksPerDay;
    FieldDays field;
    /// Windows first; a platform with nothing published may be left out.
    std::vector<PlatformRelease> releases;
    std::chrono::local_days today;
};

/// The checks of the kUseDays days up to `today`, today's so far among them;
/// the share of each version per day over kFieldDays (a stacked chart with
/// its legend, and a table for screen readers), the distinct clients per
/// day; each platform's rollout with its newest release out (newestOut: a
/// staged one labelled with its share, a halted one passed over) and that
/// release's share of today's and yesterday's checks, with the days it took
/// to pass half; the offers and completed downloads by release, today's and
/// over kFieldDays, the releases now offered listed even at 0. A day the
/// maps lack had none.
std::string usePage(const UseView& view);

} // namespace pelvoran::server
