#include "server/store/release_store.h"

#include "server/engine/sql.h"
#include "server/engine/transaction.h"
#include "server/store/audit_log.h"
#include "server/store/store_texts.h"

namespace pelvoran::server {
namespace {

constexpr char kChangeColumns[] =
    "SELECT id, time, action, version, address, date, notes, source, signature, platform "
    "FROM release_history ";

ReleaseChange readChange(Statement& s) {
    return {s.integer(0),
            s.seconds(1),
            s.text(2) == "publish",
            Release{s.utf16(3), s.utf16(4), s.utf16(5), s.utf16(6), s.text(8)},
            s.text(7),
            parsePlatform(s.text(9)).value_or(Platform::Windows)};
}

/// A version as the audit log names it: Windows's as before platforms.
std::string named(const Text& version, Platform platform) {
    return toUtf8(version) + (platform == Platform::Windows
                                  ? ""
                                  : "（" + std::string(platformLabel(platform)) + "）");
}

std::string percentText(int percent) {
    return std::to_string(percent) + "%";
}

} // namespace

std::optional<Release> ReleaseStore::current(Platform platform) {
    Statement s(connection_,
                "SELECT version, address, date, notes, signature FROM release WHERE platform = ?");
    s.bind(1, std::string(platformName(platform)));
    if (!s.step())
        return std::nullopt;
    return Release{s.utf16(0), s.utf16(1), s.utf16(2), s.utf16(3), toUtf8(s.utf16(4))};
}

PlatformOffer ReleaseStore::offer(Platform platform) {
    PlatformOffer offer;
    const std::string name(platformName(platform));
    std::int64_t row = 0;
    {
        Statement s(connection_, "SELECT version, address, date, notes, signature, rollout, "
                                 "change FROM release WHERE platform = ?");
        s.bind(1, name);
        if (!s.step())
            return offer;
        offer.live = Release{s.utf16(0), s.utf16(1), s.utf16(2), s.utf16(3), s.text(4)};
        offer.rollout = static_cast<int>(s.integer(5));
        row = s.integer(6);
    }
    {
        Statement s(connection_, "SELECT rollout_key FROM release_history WHERE id = ?");
        s.bind(1, row);
        if (s.step())
            offer.key = s.text(0);
    }
    // A clear since the last release live everywhere leaves nothing to fall
    // back on: the publisher took it down.
    Statement s(connection_, std::string(kChangeColumns) +
                                 "WHERE platform = ? AND id < ? AND (action = 'clear' OR "
                                 "reached_all = 1) ORDER BY id DESC LIMIT 1");
    s.bind(1, name);
    s.bind(2, row);
    if (s.step())
        if (auto c = readChange(s); c.published)
            offer.earlier = std::move(c.release);
    return offer;
}

std::int64_t ReleaseStore::addChange(const char* action, const Release& r,
                                     const std::string& source, Platform platform, int rollout) {
    Statement s(connection_, "INSERT INTO release_history (time, action, version, address, date, "
                             "notes, source, signature, platform, rollout_key, reached_all) "
                             "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id");
    s.bind(1, secondsNow());
    s.bind(2, std::string(action));
    s.bind(3, TextView(r.version));
    s.bind(4, TextView(r.address));
    s.bind(5, TextView(r.date));
    s.bind(6, TextView(r.notes));
    s.bind(7, source);
    s.bind(8, r.signature);
    s.bind(9, std::string(platformName(platform)));
    s.bindBlob(10, std::string(action) == "publish" ? newRolloutKey() : std::string());
    s.bind(11, std::int64_t{std::string(action) == "publish" && rollout >= 100});
    s.step();
    return s.integer(0);
}

void ReleaseStore::publish(const Release& r, const std::string& source, const std::string& action,
                           const std::string& detail, Platform platform, int rollout,
                           const std::optional<ReleaseFile>& file) {
    Transaction transaction(connection_);
    const std::int64_t row = addChange("publish", r, source, platform, rollout);
    Statement s(connection_,
                "INSERT INTO release (platform, version, address, date, notes, signature, "
                "rollout, change) VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (platform) DO "
                "UPDATE SET version = excluded.version, address = excluded.address, date = "
                "excluded.date, notes = excluded.notes, signature = excluded.signature, "
                "rollout = excluded.rollout, change = excluded.change");
    s.bind(1, std::string(platformName(platform)));
    s.bind(2, TextView(r.version));
    s.bind(3, TextView(r.address));
    s.bind(4, TextView(r.date));
    s.bind(5, TextView(r.notes));
    s.bind(6, r.signature);
    s.bind(7, std::int64_t{rollout});
    s.bind(8, row);
    s.step();
    if (file) {
        Statement f(connection_, "INSERT INTO release_files (history, platform, version, name, "
                                 "sha256) VALUES (?, ?, ?, ?, ?)");
        f.bind(1, row);
        f.bind(2, std::string(platformName(platform)));
        f.bind(3, TextView(r.version));
        f.bind(4, file->name);
        f.bind(5, file->sha256);
        f.step();
    }
    audit_.append(action,
                  named(r.version, platform) + detail +
                      (rollout < 100 ? store_text::rolledOutTo(percentText(rollout)) : "") +
                      (file ? store_text::releaseFile(file->name, file->sha256) : ""),
                  source);
    transaction.commit();
}

void ReleaseStore::clear(const std::string& source, Platform platform) {
    Transaction transaction(connection_);
    const auto was = current(platform);
    Statement s(connection_, "DELETE FROM release WHERE platform = ?");
    s.bind(1, std::string(platformName(platform)));
    s.step();
    addChange("clear", Release{}, source, platform, 100);
    const std::string label =
        platform == Platform::Windows ? "" : std::string(platformLabel(platform)) + " ";
    audit_.append(store_text::kCleared,
                  was ? store_text::clearedVersion(named(was->version, platform))
                      : store_text::nothingToClear(label),
                  source);
    transaction.commit();
}

std::optional<int> ReleaseStore::setRollout(Platform platform, int percent,
                                            const std::string& source) {
    Transaction transaction(connection_);
    const std::string name(platformName(platform));
    std::int64_t row = 0;
    int before = 0;
    Text version;
    {
        Statement s(connection_, "SELECT rollout, change, version FROM release WHERE platform = ?");
        s.bind(1, name);
        if (!s.step())
            return std::nullopt;
        before = static_cast<int>(s.integer(0));
        row = s.integer(1);
        version = s.utf16(2);
    }
    {
        Statement s(connection_, "UPDATE release SET rollout = ? WHERE platform = ?");
        s.bind(1, std::int64_t{percent});
        s.bind(2, name);
        s.step();
    }
    // A row from before rollouts has no key yet: it gets one the first time
    // it is staged, and keeps it. A halted release is no longer one to fall
    // back on, whoever it reached before.
    Statement s(connection_,
                "UPDATE release_history SET reached_all = CASE ?1 WHEN 100 THEN 1 WHEN 0 THEN 0 "
                "ELSE reached_all END, rollout_key = CASE WHEN length(rollout_key) = 0 THEN ?2 "
                "ELSE rollout_key END WHERE id = ?3");
    s.bind(1, std::int64_t{percent});
    s.bindBlob(2, newRolloutKey());
    s.bind(3, row);
    s.step();
    audit_.append(percent == 0 ? store_text::kHalted : store_text::kRolledOut,
                  toUtf8(version) + "（" + std::string(platformLabel(platform)) + "）：" +
                      percentText(before) + " → " + percentText(percent),
                  source);
    transaction.commit();
    return before;
}

ReleaseHistory ReleaseStore::history(std::int64_t limit, Platform platform) {
    ReleaseHistory history;
    const std::string name(platformName(platform));
    {
        Statement s(connection_, "SELECT count(*) FROM release_history WHERE platform = ?");
        s.bind(1, name);
        s.step();
        history.total = s.integer(0);
    }
    Statement s(connection_,
                std::string(kChangeColumns) + "WHERE platform = ? ORDER BY id DESC LIMIT ?");
    s.bind(1, name);
    s.bind(2, limit);
    while (s.step())
        history.changes.push_back(readChange(s));
    for (auto& c : history.changes)
        c.file = fileOf(c.id);
    return history;
}

std::optional<ReleaseChange> ReleaseStore::change(std::int64_t id) {
    Statement s(connection_, std::string(kChangeColumns) + "WHERE id = ?");
    s.bind(1, id);
    if (!s.step())
        return std::nullopt;
    auto c = readChange(s);
    c.file = fileOf(id);
    return c;
}

std::optional<ReleaseFile> ReleaseStore::fileOf(std::int64_t change) {
    Statement s(connection_, "SELECT r.platform, r.name, r.sha256, f.size FROM release_files r "
                             "JOIN download_files f USING (sha256) WHERE r.history = ?");
    s.bind(1, change);
    if (!s.step())
        return std::nullopt;
    return ReleaseFile{parsePlatform(s.text(0)).value_or(Platform::Windows), s.text(1), s.text(2),
                       s.integer(3)};
}

} // namespace pelvoran::server
