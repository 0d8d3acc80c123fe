#pragma once

#include "server/store/field_store.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace pelvoran::server {

/// What a check was counted under, for /metrics to count it alike.
struct CheckLabel {
    std::string version;
    std::string platform; // "windows", "linux"; empty: the check said none
};

/// What the counter holds that is not written out yet.
struct PendingField {
    FieldCounts field;
    /// How far each day's sketch had risen when it was taken.
    std::map<std::chrono::local_days, std::uint64_t> sketchRises;
};

/// Update checks, offers and downloads per local day, counted in memory;
/// the server writes them out at most once a minute, so that an update
/// check never waits for the disk. Labels stay few and a day's clients are
/// a sketch of fixed size, whatever strangers send. Safe from any thread.
class FieldCounter {
public:
    /// An update check by `agent` from `network` (ClientAddress::networkKey).
    CheckLabel check(std::chrono::local_days day, const Agent& agent, std::string_view network);
    /// A check offered `version` of `platform`'s releases.
    void offer(std::chrono::local_days day, Platform platform, const std::string& version);
    /// A download of `version` of `platform`'s releases was completed by a
    /// client of `network`; true when it counts: the network's first of
    /// that release that day.
    bool download(std::chrono::local_days day, Platform platform, const std::string& version,
                  std::string_view network);

    /// The newest version ever published: the highest that gets a label of
    /// its own.
    void setNewest(const std::string& version);
    /// The days' salts as the database keeps them (FieldStore::salts); a day
    /// without one gets a salt of its own until then.
    void setSalts(const std::map<std::chrono::local_days, DaySalt>& salts);

    /// Forgets what was written out; what was counted since stays.
    void forget(const PendingField& written);
    /// What is not written out yet.
    PendingField pending() const;

private:
    struct Day {
        DayField field;
        std::uint64_t rises = 0;   // of the sketch, ever
        std::uint64_t written = 0; // rises already written out
        /// The networks (keyed hashes) whose download of a release counted.
        std::unordered_set<std::uint64_t> downloaders;
    };
    /// The most networks remembered a day: about 4 MiB at most.
    static constexpr std::size_t kMostDownloaders = 100000;
    Day& day(std::chrono::local_days d);

    /// The downloaders' key, this process's own: the days' salts change
    /// when the database's are learnt.
    const DaySalt downloadSalt_ = randomSalt();
    mutable std::mutex mutex_;
    std::string newest_;
    std::map<std::chrono::local_days, DaySalt> salts_;
    std::map<std::chrono::local_days, Day> days_;
};

} // namespace pelvoran::server
