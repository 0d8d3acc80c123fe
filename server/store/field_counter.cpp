#include "server/store/field_counter.h"

namespace pelvoran::server {
namespace {

/// A version the server itself offered or served: its own label when it is
/// written as releases are, else kOtherLabel.
std::string ownLabel(const std::string& version) {
    return versionNumber(version) ? version : std::string(kOtherLabel);
}

void subtract(FieldTally& from, const FieldTally& written) {
    for (const auto& [key, n] : written)
        if (const auto it = from.find(key); it != from.end() && (it->second -= n) <= 0)
            from.erase(it);
}

} // namespace

FieldCounter::Day& FieldCounter::day(std::chrono::local_days d) {
    return days_[d];
}

CheckLabel FieldCounter::check(std::chrono::local_days d, const Agent& agent,
                               std::string_view network) {
    const std::lock_guard lock(mutex_);
    CheckLabel label{versionLabel(agent, newest_),
                     agent.platform ? std::string(platformName(*agent.platform)) : std::string()};
    auto salt = salts_.find(d);
    if (salt == salts_.end()) // before the database's salt for the day is known
        salt = salts_.emplace(d, randomSalt()).first;
    Day& counts = day(d);
    ++counts.field.checks[{label.platform, label.version}];
    if (!counts.field.clients)
        counts.field.clients.emplace();
    if (counts.field.clients->add(clientHash(salt->second, network, label.platform)))
        ++counts.rises;
    return label;
}

void FieldCounter::offer(std::chrono::local_days d, Platform platform, const std::string& version) {
    const std::lock_guard lock(mutex_);
    ++day(d).field.offers[{std::string(platformName(platform)), ownLabel(version)}];
}

bool FieldCounter::download(std::chrono::local_days d, Platform platform,
                            const std::string& version, std::string_view network) {
    const std::lock_guard lock(mutex_);
    // The day is kept while its salt is known (forget).
    if (!salts_.contains(d))
        salts_.emplace(d, randomSalt());
    Day& counts = day(d);
    const std::string platformText(platformName(platform));
    // Once per network, release and day: a network that fetches the file
    // again, or a thousand times, is one download. Past the day's memory
    // (a crowd of networks, most likely one attacker's) none is counted,
    // so that the figure stays a floor rather than whatever anyone wants.
    if (counts.downloaders.size() >= kMostDownloaders ||
        !counts.downloaders
             .insert(clientHash(downloadSalt_, network, platformText + '\n' + version))
             .second)
        return false;
    ++counts.field.downloads[{platformText, ownLabel(version)}];
    return true;
}

void FieldCounter::setNewest(const std::string& version) {
    const std::lock_guard lock(mutex_);
    newest_ = version;
}

void FieldCounter::setSalts(const std::map<std::chrono::local_days, DaySalt>& salts) {
    const std::lock_guard lock(mutex_);
    // A sketch counted under a salt of its own was written out under it; the
    // day goes on under the database's, so that every server agrees.
    for (const auto& [d, salt] : salts)
        salts_[d] = salt;
    // Only the days the database still has a salt for: the rest are over.
    std::erase_if(salts_, [&](const auto& entry) { return !salts.contains(entry.first); });
}

void FieldCounter::forget(const PendingField& written) {
    const std::lock_guard lock(mutex_);
    for (const auto& [d, field] : written.field) {
        const auto it = days_.find(d);
        if (it == days_.end())
            continue;
        subtract(it->second.field.checks, field.checks);
        subtract(it->second.field.offers, field.offers);
        subtract(it->second.field.downloads, field.downloads);
    }
    for (const auto& [d, rises] : written.sketchRises)
        if (const auto it = days_.find(d); it != days_.end())
            it->second.written = std::max(it->second.written, rises);
    // A day with nothing left to write goes, unless it may still be counted
    // (its salt is still known): its sketch then keeps what it saw.
    std::erase_if(days_, [&](const auto& entry) {
        const Day& c = entry.second;
        return c.field.checks.empty() && c.field.offers.empty() && c.field.downloads.empty() &&
               c.written == c.rises && !salts_.contains(entry.first);
    });
}

PendingField FieldCounter::pending() const {
    const std::lock_guard lock(mutex_);
    PendingField out;
    for (const auto& [d, c] : days_) {
        if (c.field.checks.empty() && c.field.offers.empty() && c.field.downloads.empty() &&
            c.written == c.rises)
            continue;
        DayField& field = out.field[d];
        field.checks = c.field.checks;
        field.offers = c.field.offers;
        field.downloads = c.field.downloads;
        if (c.written != c.rises) {
            field.clients = c.field.clients;
            out.sketchRises[d] = c.rises;
        }
    }
    return out;
}

} // namespace pelvoran::server
