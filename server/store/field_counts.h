#pragma once

#include "server/release/agent.h"

#include <array>
#include <chrono>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server {

/// What a check is counted under: its own version only when it is "d.dd"
/// from 1.00 up to `newest` (the newest version ever published), so that
/// the labels stay few whatever strangers send.
std::string versionLabel(const Agent& agent, std::string_view newest);

/// One row of the counts: a platform ("windows", "linux"; empty when the
/// check said none) and a version label.
struct FieldKey {
    std::string platform;
    std::string version;
    auto operator<=>(const FieldKey&) const = default;
};
using FieldTally = std::map<FieldKey, std::int64_t>;

/// The distinct clients of a day: a HyperLogLog sketch of 2^12 one-byte
/// registers (4 KiB). It holds no client, only the longest run of zero bits
/// seen in each register; merged by the larger register, so that the
/// sketches of several servers give those of their union.
class ClientSketch {
public:
    static constexpr unsigned kIndexBits = 12;
    static constexpr std::size_t kRegisters = std::size_t{1} << kIndexBits;

    /// Adds a client by its 64-bit keyed hash; true when a register rose.
    bool add(std::uint64_t hash);
    void merge(const ClientSketch& other);
    /// About how many distinct clients were added (1.6 % standard error).
    double estimate() const;

    /// The registers as kept in the database.
    std::string bytes() const;
    /// The sketch of `bytes`; nullopt when they are not kRegisters of a
    /// sketch's values.
    static std::optional<ClientSketch> fromBytes(std::string_view bytes);

    bool operator==(const ClientSketch&) const = default;

private:
    std::array<std::uint8_t, kRegisters> registers_{};
};

/// A day's random key for the clients' hashes: the sketch cannot be tested
/// against a network without it, and it is dropped once its day is over.
using DaySalt = std::array<unsigned char, 16>;

/// A fresh salt from OpenSSL's generator.
DaySalt randomSalt();

/// The keyed hash a client is counted by: SHA-256 of the salt, the network
/// and `what` of it is counted (its platform's name for the day's distinct
/// clients, whatever version its agent gives: one network counts once per
/// platform, however many versions it claims).
std::uint64_t clientHash(const DaySalt& salt, std::string_view network, std::string_view what);

/// A day's counts: update checks, offers made and completed downloads, and
/// the distinct clients' sketch (none when no check counted one).
struct DayField {
    FieldTally checks;
    FieldTally offers;
    FieldTally downloads;
    std::optional<ClientSketch> clients;
};
/// Per local day (days since 1970 in the server's local time).
using FieldCounts = std::map<std::chrono::local_days, DayField>;

/// Update checks answered, per local day: a local_days counts days since
/// 1970 in local time, not UTC.
using ChecksPerDay = std::map<std::chrono::local_days, std::int64_t>;

/// The update checks of each day of `field`: the sum of its checks' rows.
ChecksPerDay checksPerDay(const FieldCounts& field);

} // namespace pelvoran::server
