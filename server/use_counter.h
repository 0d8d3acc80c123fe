#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace pelvoran::server {

/// Update checks answered per local day, counted in memory; the server
/// writes them out at most once a minute, so an update check never waits
/// for the disk.
class UseCounter {
public:
    void count(std::int64_t day) {
        const std::lock_guard lock(mutex_);
        ++pending_[day];
    }
    /// The counts not written out yet, which are then forgotten.
    std::map<std::int64_t, std::int64_t> take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(pending_, {});
    }
    /// The counts not written out yet.
    std::map<std::int64_t, std::int64_t> pending() const {
        const std::lock_guard lock(mutex_);
        return pending_;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::int64_t, std::int64_t> pending_;
};

} // namespace pelvoran::server
