#pragma once

#include "server/release/agent.h"
#include "server/release/release.h"
#include "server/release/release_file.h"
#include "server/release/release_reply.h"
#include "server/store/store_texts.h"

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
    Platform platform = Platform::Windows;
    /// The file the server serves at the release's address, if any.
    std::optional<ReleaseFile> file = std::nullopt;
};

/// The release history's newest rows, and how many there are in all.
struct ReleaseHistory {
    std::vector<ReleaseChange> changes;
    std::int64_t total = 0;
};

/// The release the update check offers each platform, how far it is rolled
/// out, and the history of every publish and clear. Each publish, clear and
/// rollout is also a line of the audit log, all in one transaction. The
/// audit lines of Windows read as they did before there were platforms;
/// Linux's name it.
class ReleaseStore {
public:
    ReleaseStore(Connection& connection, AuditLog& audit)
        : connection_(connection), audit_(audit) {}

    /// The release published now for `platform`, if any.
    std::optional<Release> current(Platform platform = Platform::Windows);
    /// What the update check offers `platform`: its release, the rollout,
    /// and what the networks outside it get.
    PlatformOffer offer(Platform platform);
    /// Publishes `release` for `platform` to `rollout` percent of the
    /// networks (0 to 100), from `source`, with a new rollout key, and keeps
    /// it in the history and the audit log (as `action`, and `detail` after
    /// the version). The release's address serves `file`, stored before
    /// (DownloadStore), when one is given; a different file for a path
    /// already published is refused (StoreError), and nothing is published.
    void publish(const Release& release, const std::string& source,
                 const std::string& action = store_text::kPublished, const std::string& detail = "",
                 Platform platform = Platform::Windows, int rollout = 100,
                 const std::optional<ReleaseFile>& file = std::nullopt);
    /// Takes the release of `platform` down, kept as publish() keeps a publish.
    void clear(const std::string& source, Platform platform = Platform::Windows);
    /// Offers the live release of `platform` to `percent` of the networks
    /// (0: halted, and no release for a later rollout to fall back on), in
    /// the audit log; the percentage before, or nullopt when nothing is
    /// published (and nothing changes).
    std::optional<int> setRollout(Platform platform, int percent, const std::string& source);
    /// The `limit` newest publishes and clears of `platform`, newest first.
    ReleaseHistory history(std::int64_t limit, Platform platform = Platform::Windows);
    /// A row of the history, of whichever platform.
    std::optional<ReleaseChange> change(std::int64_t id);

private:
    /// Adds the history's row of a publish or clear ("publish", "clear"),
    /// its number.
    std::int64_t addChange(const char* action, const Release& r, const std::string& source,
                           Platform platform, int rollout);
    std::optional<ReleaseFile> fileOf(std::int64_t change);

    Connection& connection_;
    AuditLog& audit_;
};

} // namespace pelvoran::server
