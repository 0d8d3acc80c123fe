#include "server/store/field_store.h"

#include "server/engine/sql.h"
#include "server/engine/transaction.h"

namespace pelvoran::server {
namespace {

void addTally(Statement& s, std::chrono::local_days day, const char* kind,
              const FieldTally& tally) {
    for (const auto& [key, n] : tally) {
        s.bind(1, day);
        s.bind(2, std::string(kind));
        s.bind(3, key.platform);
        s.bind(4, key.version);
        s.bind(5, n);
        s.step();
        s.reset();
    }
}

} // namespace

void FieldStore::add(const FieldCounts& field) {
    Transaction transaction(connection_);
    Statement count(connection_,
                    "INSERT INTO field_counts (day, kind, platform, version, n) "
                    "VALUES (?, ?, ?, ?, ?) ON CONFLICT (day, kind, platform, version) "
                    "DO UPDATE SET n = field_counts.n + excluded.n");
    Statement stored(connection_, "SELECT registers FROM field_clients WHERE day = ?");
    Statement put(connection_, "INSERT INTO field_clients (day, registers) VALUES (?, ?) "
                               "ON CONFLICT (day) DO UPDATE SET registers = excluded.registers");
    for (const auto& [day, counts] : field) {
        addTally(count, day, "check", counts.checks);
        addTally(count, day, "offer", counts.offers);
        addTally(count, day, "download", counts.downloads);
        if (!counts.clients)
            continue;
        ClientSketch merged = *counts.clients;
        stored.bind(1, day);
        if (stored.step())
            if (const auto before = ClientSketch::fromBytes(stored.text(0)))
                merged.merge(*before);
        stored.reset();
        put.bind(1, day);
        put.bindBlob(2, merged.bytes());
        put.step();
        put.reset();
    }
    transaction.commit();
}

ChecksPerDay FieldStore::checksSince(std::chrono::local_days from) {
    Statement s(connection_, "SELECT day, sum(n) FROM field_counts WHERE kind = 'check' AND "
                             "day >= ? GROUP BY day");
    s.bind(1, from);
    ChecksPerDay out;
    while (s.step())
        out[s.day(0)] = s.integer(1);
    return out;
}

FieldCounts FieldStore::fieldSince(std::chrono::local_days from) {
    FieldCounts out;
    Statement s(connection_,
                "SELECT day, kind, platform, version, n FROM field_counts WHERE day >= ?");
    s.bind(1, from);
    while (s.step()) {
        DayField& day = out[s.day(0)];
        const std::string kind = s.text(1);
        FieldTally& tally = kind == "offer"      ? day.offers
                            : kind == "download" ? day.downloads
                                                 : day.checks;
        tally[{s.text(2), s.text(3)}] += s.integer(4);
    }
    Statement c(connection_, "SELECT day, registers FROM field_clients WHERE day >= ?");
    c.bind(1, from);
    while (c.step())
        out[c.day(0)].clients = ClientSketch::fromBytes(c.text(1));
    return out;
}

std::map<std::chrono::local_days, DaySalt> FieldStore::salts(std::chrono::local_days today) {
    Transaction transaction(connection_);
    Statement drop(connection_, "DELETE FROM field_salts WHERE day < ?");
    drop.bind(1, today - std::chrono::days(1));
    drop.step();
    Statement make(connection_,
                   "INSERT INTO field_salts (day, salt) VALUES (?, ?) ON CONFLICT DO NOTHING");
    for (const auto day : {today, today + std::chrono::days(1)}) {
        const DaySalt salt = randomSalt();
        make.bind(1, day);
        make.bindBlob(2, std::string(salt.begin(), salt.end()));
        make.step();
        make.reset();
    }
    std::map<std::chrono::local_days, DaySalt> out;
    Statement s(connection_, "SELECT day, salt FROM field_salts");
    while (s.step())
        if (const std::string salt = s.text(1); salt.size() == DaySalt{}.size())
            std::copy(salt.begin(), salt.end(), out[s.day(0)].begin());
    transaction.commit();
    return out;
}

std::optional<NewestRelease> FieldStore::newestPublished() {
    Statement s(connection_, "SELECT version, min(time) FROM release_history "
                             "WHERE action = 'publish' GROUP BY version");
    std::optional<NewestRelease> newest;
    std::int64_t highest = -1;
    while (s.step())
        if (const auto n = versionNumber(s.text(0)); n && *n > highest) {
            highest = *n;
            newest = NewestRelease{s.text(0), s.seconds(1)};
        }
    return newest;
}

std::optional<std::chrono::sys_seconds> FieldStore::firstPublished(Platform platform,
                                                                   const std::string& version) {
    Statement s(connection_, "SELECT time FROM release_history WHERE action = 'publish' AND "
                             "platform = ? AND version = ? ORDER BY id LIMIT 1");
    s.bind(1, std::string(platformName(platform)));
    s.bind(2, version);
    if (!s.step())
        return std::nullopt;
    return s.seconds(0);
}

} // namespace pelvoran::server
