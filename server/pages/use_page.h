#pragma once

#include "server/store/use_store.h"

#include <chrono>
#include <optional>
#include <string>

namespace pelvoran::server {

/// The days the use page counts update checks over, up to today.
inline constexpr int kUseDays = 30;
/// The days of the versions in the field, up to today.
inline constexpr int kFieldDays = 90;

/// What the use page shows: the update checks per day, the versions in the
/// field, and the newest version ever published.
struct UseView {
    UseCounts checksPerDay;
    FieldCounts field;
    std::optional<NewestRelease> newest;
    std::chrono::local_days today;
};

/// The checks of the kUseDays days up to `today`; the share of each version
/// per day over kFieldDays (a stacked chart with its legend, and a table
/// for screen readers), the distinct clients per day, the offers and
/// completed downloads by release, and the newest version's share on the
/// last full day with the days it took to pass half. A day the maps lack
/// had none.
std::string usePage(const UseView& view);

} // namespace pelvoran::server
