#pragma once

#include "server/store/field_counts.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace pelvoran::server {

class Connection;

/// The newest version ever published, on any platform, and when it was
/// first published.
struct NewestRelease {
    std::string version;
    std::chrono::sys_seconds published;
};

/// The versions in the field, per local day: update checks, offers and
/// downloads by platform and version, and a sketch of the distinct
/// clients; a day's checks are the sum of its rows. No address and no
/// network is kept.
class FieldStore {
public:
    explicit FieldStore(Connection& connection) : connection_(connection) {}

    /// Adds the field's counts, all in one transaction or none: counts are
    /// added to those stored, never written over, and sketches merged.
    void add(const FieldCounts& field);
    /// The update checks of `from` and the days after it.
    ChecksPerDay checksSince(std::chrono::local_days from);
    /// The field's counts of `from` and the days after it.
    FieldCounts fieldSince(std::chrono::local_days from);

    /// The salts of `today` and of the day after, each made once and kept
    /// for every server on this database; those of the days before
    /// yesterday are deleted, so that no one can test a network against
    /// their sketches.
    std::map<std::chrono::local_days, DaySalt> salts(std::chrono::local_days today);

    /// nullopt when nothing was ever published.
    std::optional<NewestRelease> newestPublished();
    /// When `version` was first published for `platform` (the epoch for a
    /// row from before the history kept times); nullopt when it never was.
    std::optional<std::chrono::sys_seconds> firstPublished(Platform platform,
                                                           const std::string& version);

private:
    Connection& connection_;
};

} // namespace pelvoran::server
