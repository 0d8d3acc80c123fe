#pragma once

#include "server/release/release.h"
#include "server/release/release_file.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

class AuditLog;
class Connection;

/// One publish or clear of the release history. A row kept from before the
/// history began has the epoch for its time and no source.
struct ReleaseChange {
    std::int64_t id = 0;
    std::chrono::sys_seconds time{};
    bool published = false; // false: a clear, with empty fields
    Release release;
    std::string source; // kByCommandLine or kByPages
    /// The file the server serves at the release's address, if any.
    std::optional<ReleaseFile> file = std::nullopt;
};

/// The release history's newest rows, and how many there are in all.
struct ReleaseHistory {
    std::vector<ReleaseChange> changes;
    std::int64_t total = 0;
};

/// The release the update check offers, and the history of every publish
/// and clear. Each publish and clear is also a line of the audit log, all
/// in one transaction.
class ReleaseStore {
public:
    ReleaseStore(Connection& connection, AuditLog& audit)
        : connection_(connection), audit_(audit) {}

    /// The release published now, if any.
    std::optional<Release> current();
    /// Publishes `release`, from `source`, and keeps it in the history and
    /// the audit log (as `action`, and `detail` after the version). The
    /// release's address serves `file`, stored before (DownloadStore), when
    /// one is given; a different file for a path already published is
    /// refused (StoreError), and nothing is published.
    void publish(const Release& release, const std::string& source,
                 const std::string& action = "发布", const std::string& detail = "",
                 const std::optional<ReleaseFile>& file = std::nullopt);
    /// Takes the release down, kept as publish() keeps a publish.
    void clear(const std::string& source);
    /// The `limit` newest publishes and clears, newest first.
    ReleaseHistory history(std::int64_t limit);
    std::optional<ReleaseChange> change(std::int64_t id);

private:
    /// Adds the history's row of a publish or clear ("publish", "clear").
    void addChange(const char* action, const Release& r, const std::string& source);
    std::optional<ReleaseFile> fileOf(std::int64_t change);

    Connection& connection_;
    AuditLog& audit_;
};

} // namespace pelvoran::server
