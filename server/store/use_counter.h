#pragma once

#include <cstdint>
#include <map>
#include <mutex>

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
    /// Forgets counts that were written out; those counted since stay.
    void forget(const std::map<std::int64_t, std::int64_t>& written) {
        const std::lock_guard lock(mutex_);
        for (const auto& [day, n] : written)
            if (const auto it = pending_.find(day); it != pending_.end() && (it->second -= n) <= 0)
                pending_.erase(it);
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
