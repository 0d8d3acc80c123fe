#pragma once

#include "server/release/release_reply.h"
#include "server/store/field_store.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// The days the use page counts update checks over, up to today.
inline constexpr int kUseDays = 30;
/// The days of the versions in the field, up to today.
inline constexpr int kFieldDays = 90;

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
    ChecksPerDay checksPerDay;
    FieldCounts field;
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
