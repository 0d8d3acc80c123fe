#include "server/admin/metrics.h"

#include "server/admin/admin_texts.h"
#include "server/comments/comment_hold.h"

#include "server/store/store.h"
#include "server/support/state_files.h"
#include "server/upkeep/backups.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace pelvoran::server {

namespace fs = std::filesystem;

namespace {

/// A label's value as the text format writes it: backslash, double quote
/// and line feed escaped.
std::string labelValue(std::string_view value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

/// The lines of a family counted by version and platform; a check that
/// named no platform is "unknown".
std::string versionSeries(const char* name, const Metrics::Series& series) {
    std::string out;
    for (const auto& [labels, n] : series)
        out += std::string(name) + "{version=\"" + labelValue(labels.first) + "\",platform=\"" +
               labelValue(labels.second.empty() ? "unknown" : labels.second) + "\"} " +
               std::to_string(n) + "\n";
    return out;
}

/// A percentage as a ratio from 0 to 1, as the text format's floats are
/// written: 30 is "0.3", 5 is "0.05".
std::string ratio(int percent) {
    std::string out = std::to_string(percent / 100);
    if (const int rest = percent % 100; rest != 0) {
        out += '.' + std::to_string(rest / 10);
        if (rest % 10 != 0)
            out += std::to_string(rest % 10);
    }
    return out;
}

} // namespace

StateFigures stateFigures(const std::string& stateDir, const std::string& database,
                          MillisTime now) {
    using std::chrono::seconds;
    StateFigures f;
    std::error_code ec;
    // Daily backups and those a restore kept alike: the newest file is the
    // newest copy.
    for (fs::directory_iterator it(fs::path(stateDir) / kBackupsDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        struct stat st {};
        if (name.ends_with(".sqlite") && ::stat(it->path().c_str(), &st) == 0) {
            const std::int64_t age =
                std::max<std::int64_t>(0, std::chrono::duration_cast<seconds>(
                                              now - std::chrono::sys_seconds(seconds(st.st_mtime)))
                                              .count());
            f.backupAge = std::min(f.backupAge.value_or(age), age);
        }
    }
    Database db(database);
    if (const auto bytes = db.serverBytes())
        f.databaseBytes = static_cast<std::uint64_t>(*bytes);
    else
        for (const char* suffix : {"", kWalSuffix}) {
            struct stat st {};
            if (::stat((database + suffix).c_str(), &st) == 0)
                f.databaseBytes += static_cast<std::uint64_t>(st.st_size);
        }
    if (const auto standbys = db.synchronousStandbys())
        f.synchronousStandbys = standbys->connected;
    for (const Platform platform : {Platform::Windows, Platform::Linux})
        if (const PlatformOffer offer = db.releases().offer(platform); offer.live)
            f.rollouts.push_back({std::string(platformName(platform)), toUtf8(offer.live->version),
                                  offer.rollout,
                                  offer.earlier ? toUtf8(offer.earlier->version) : ""});
    f.heldComments = db.comments().heldCount();
    f.answersWaiting = db.answers().waitingCount(std::chrono::floor<seconds>(now) - kAnswerKept);
    const OutboxStore::Summary outbox = db.outbox().summary();
    f.notificationsPending = outbox.pending;
    if (outbox.pending > 0)
        f.oldestPendingSeconds = std::max<std::int64_t>(
            0, std::chrono::duration_cast<seconds>(now - outbox.oldestQueued).count());
    return f;
}

std::string metricsText(const Metrics& metrics, const StateFigures& figures) {
    std::string out;
    const auto family = [&](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    family("pelvoran_update_checks_total", "counter", admin_text::kUpdateChecksHelp);
    out += versionSeries("pelvoran_update_checks_total", metrics.updateChecksByLabel());
    family("pelvoran_downloads_total", "counter", admin_text::kDownloadsHelp);
    out += versionSeries("pelvoran_downloads_total", metrics.downloads());
    family("pelvoran_offers_total", "counter", admin_text::kOffersHelp);
    Metrics::Series offers = metrics.offers();
    for (const RolloutFigure& r : figures.rollouts)
        for (const std::string& version : {r.version, r.earlier})
            if (!version.empty())
                offers.try_emplace(Metrics::Labels{version, r.platform}, 0);
    out += versionSeries("pelvoran_offers_total", offers);
    family("pelvoran_release_rollout_ratio", "gauge", admin_text::kRolloutHelp);
    for (const RolloutFigure& r : figures.rollouts)
        out += "pelvoran_release_rollout_ratio{version=\"" + labelValue(r.version) +
               "\",platform=\"" + labelValue(r.platform) + "\"} " + ratio(r.percent) + "\n";
    family("pelvoran_comments_stored_total", "counter", admin_text::kCommentsStoredHelp);
    out += "pelvoran_comments_stored_total " + std::to_string(metrics.commentsStored()) + "\n";
    family("pelvoran_comments_refused_total", "counter", admin_text::kCommentsRefusedHelp);
    for (const auto& [status, n] : metrics.refusals())
        out += "pelvoran_comments_refused_total{status=\"" + std::to_string(status) + "\"} " +
               std::to_string(n) + "\n";
    family("pelvoran_comments_held_total", "counter", admin_text::kCommentsHeldHelp);
    const auto held = metrics.heldByReason();
    for (const char* reason : {kHeldLink, kHeldPhone, kHeldContact, kHeldCopy}) {
        const auto n = held.find(std::string_view(reason));
        out += std::string("pelvoran_comments_held_total{reason=\"") + reason + "\"} " +
               std::to_string(n == held.end() ? 0 : n->second) + "\n";
    }
    family("pelvoran_comments_held_waiting", "gauge", admin_text::kCommentsHeldWaitingHelp);
    out += "pelvoran_comments_held_waiting " + std::to_string(figures.heldComments) + "\n";
    family("pelvoran_answer_fetches_total", "counter", admin_text::kAnswerFetchesHelp);
    out += "pelvoran_answer_fetches_total " + std::to_string(metrics.answerFetches()) + "\n";
    family("pelvoran_answers_delivered_total", "counter", admin_text::kAnswersDeliveredHelp);
    out += "pelvoran_answers_delivered_total " + std::to_string(metrics.answersDelivered()) + "\n";
    family("pelvoran_answers_waiting", "gauge", admin_text::kAnswersWaitingHelp);
    out += "pelvoran_answers_waiting " + std::to_string(figures.answersWaiting) + "\n";
    family("pelvoran_backup_age_seconds", "gauge", admin_text::kBackupAgeHelp);
    out += "pelvoran_backup_age_seconds " +
           (figures.backupAge ? std::to_string(*figures.backupAge) : std::string("+Inf")) + "\n";
    family("pelvoran_database_bytes", "gauge", admin_text::kDatabaseBytesHelp);
    out += "pelvoran_database_bytes " + std::to_string(figures.databaseBytes) + "\n";
    if (figures.synchronousStandbys) {
        family("pelvoran_database_synchronous_standbys", "gauge", admin_text::kStandbysHelp);
        out += "pelvoran_database_synchronous_standbys " +
               std::to_string(*figures.synchronousStandbys) + "\n";
    }
    family("pelvoran_notifications_pending", "gauge", admin_text::kNotificationsPendingHelp);
    out += "pelvoran_notifications_pending " + std::to_string(figures.notificationsPending) + "\n";
    family("pelvoran_notification_oldest_pending_seconds", "gauge", admin_text::kOldestPendingHelp);
    out += "pelvoran_notification_oldest_pending_seconds " +
           std::to_string(figures.oldestPendingSeconds) + "\n";
    family("pelvoran_notification_failures_total", "counter",
           admin_text::kNotificationFailuresHelp);
    out += "pelvoran_notification_failures_total " +
           std::to_string(metrics.notificationFailures()) + "\n";
    return out;
}

std::string refusalsSince(const std::map<unsigned, std::uint64_t>& before,
                          const std::map<unsigned, std::uint64_t>& now) {
    std::string out;
    for (const auto& [status, n] : now) {
        const auto it = before.find(status);
        const std::uint64_t was = it == before.end() ? 0 : it->second;
        if (n > was)
            out +=
                (out.empty() ? "" : "，") + std::to_string(status) + " ×" + std::to_string(n - was);
    }
    return out;
}

} // namespace pelvoran::server
