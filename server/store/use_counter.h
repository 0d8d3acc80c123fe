#pragma once

#include "server/store/use_store.h"

#include <chrono>
#include <mutex>

namespace pelvoran::server {

/// Update checks answered per local day, counted in memory; the server
/// writes them out at most once a minute, so an update check never waits
/// for the disk.
class UseCounter {
public:
    void count(std::chrono::local_days day) {
        const std::lock_guard lock(mutex_);
        ++pending_[day];
    }
    /// Forgets counts that were written out; those counted since stay.
    void forget(const UseCounts& written) {
        const std::lock_guard lock(mutex_);
        for (const auto& [day, n] : written)
            if (const auto it = pending_.find(day); it != pending_.end() && (it->second -= n) <= 0)
                pending_.erase(it);
    }
    /// The counts not written out yet.
    UseCounts pending() const {
        const std::lock_guard lock(mutex_);
        return pending_;
    }

private:
    mutable std::mutex mutex_;
    UseCounts pending_;
};

} // namespace pelvoran::server
