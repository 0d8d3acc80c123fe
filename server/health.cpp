#include "server/health.h"

#include "server/store.h"

#include <cstdint>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace pelvoran::server {
namespace {

/// The largest comment, with room for its write-ahead log's pages.
constexpr std::uint64_t kRoomNeeded = 4 * 1024 * 1024;

} // namespace

DatabaseHealth::DatabaseHealth(std::string stateDir, std::chrono::milliseconds period)
    : stateDir_(std::move(stateDir)), period_(period) {}

DatabaseHealth::~DatabaseHealth() = default;

bool DatabaseHealth::writable() {
    const std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock())
        return writable_; // another thread is looking: its answer is as fresh
    const auto now = std::chrono::steady_clock::now();
    if (!looked_ || now - lookedAt_ >= period_) {
        writable_ = look();
        lookedAt_ = now;
        looked_ = true;
    }
    return writable_;
}

bool DatabaseHealth::look() {
    // An open connection keeps writing to a file whose mode changed; the
    // next one opened (the admin pages, a restart) would not.
    if (::faccessat(AT_FDCWD, stateDir_.c_str(), W_OK | X_OK, AT_EACCESS) != 0 ||
        ::faccessat(AT_FDCWD, databasePath(stateDir_).c_str(), R_OK | W_OK, AT_EACCESS) != 0)
        return false;
    // A full file system lets a transaction begin, and fails its commit.
    struct statvfs fs {};
    if (::statvfs(stateDir_.c_str(), &fs) != 0 ||
        std::uint64_t{fs.f_bavail} * fs.f_frsize < kRoomNeeded)
        return false;
    try {
        if (!db_)
            db_ =
                std::make_unique<Database>(databasePath(stateDir_), std::chrono::milliseconds(200));
        if (db_->canWrite())
            return true;
    } catch (const std::exception&) {
    }
    db_.reset();
    return false;
}

} // namespace pelvoran::server
