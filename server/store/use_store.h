#pragma once

#include <chrono>
#include <cstdint>
#include <map>

namespace pelvoran::server {

class Connection;

/// Update checks answered, per day of the server's local time: a
/// local_days counts days since 1970 in local time, not UTC.
using UseCounts = std::map<std::chrono::local_days, std::int64_t>;

/// The update checks answered, counted per local day.
class UseStore {
public:
    explicit UseStore(Connection& connection) : connection_(connection) {}

    /// Adds the checks of each day, all in one transaction or none.
    void add(const UseCounts& checksPerDay);
    /// The counts of `from` and the days after it.
    UseCounts since(std::chrono::local_days from);

private:
    Connection& connection_;
};

} // namespace pelvoran::server
