#include "server/pages/use_page.h"

#include "server/pages/admin_pages.h"
#include "server/pages/html.h"
#include "server/pages/page_texts.h"
#include "server/support/time_text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace pelvoran::server {
namespace {

using std::chrono::days;
using std::chrono::local_days;

/// The versions with a colour of their own; the rest are drawn as kOtherLabel.
constexpr std::size_t kDrawnVersions = 7;
/// Colours told apart with any colour vision (Okabe and Ito), then greys
/// for the tools that sent no version and for the rest.
constexpr const char* kColours[kDrawnVersions] = {"#0072b2", "#e69f00", "#009e73", "#cc79a7",
                                                  "#56b4e9", "#d55e00", "#8c6d1f"};
constexpr char kEarlyColour[] = "#6e7781";
constexpr char kOtherColour[] = "#c8ccd1";

std::string shortDate(local_days day) {
    const std::chrono::year_month_day ymd(day);
    char text[16];
    std::snprintf(text, sizeof text, "%02u-%02u", static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()));
    return text;
}

std::string longDate(local_days day) {
    const std::chrono::year_month_day ymd(day);
    char text[24];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return text;
}

std::string percent(std::int64_t part, std::int64_t whole) {
    return whole == 0 ? "—" : std::to_string((part * 1000 / whole + 5) / 10) + "%";
}

/// A date under the column centred at `x`; the last one ends at `right`, so
/// that the larger type of a phone does not run off the chart.
std::string dateLabel(int x, int y, int right, const std::string& date, bool last) {
    return "<text x=\"" + std::to_string(last ? right : x) + "\" y=\"" + std::to_string(y) +
           "\" text-anchor=\"" + (last ? "end" : "middle") + "\">" + date + "</text>";
}

/// The update checks of the kUseDays days up to today, a bar a day.
std::string checksSection(const DayCounts& checksPerDay, local_days today) {
    constexpr int kDays = kUseDays;
    const auto checks = [&](local_days day) {
        const auto it = checksPerDay.find(day);
        return it == checksPerDay.end() ? std::int64_t{0} : it->second;
    };
    const local_days first = today - days(kDays - 1);
    std::int64_t most = 1;
    std::int64_t total = 0;
    for (auto d = first; d <= today; d += days(1)) {
        most = std::max(most, checks(d));
        total += checks(d);
    }
    constexpr int kBarWidth = 18, kHeight = 160, kLeft = 40, kBottom = 20;
    const int width = kLeft + kDays * kBarWidth + 10;
    std::string svg = "<svg role=\"img\" aria-labelledby=\"chart-title\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(kHeight + kBottom + 10) +
                      "\" width=\"100%\"><title id=\"chart-title\">" +
                      page_text::checksChartTitle(most) + "</title>";
    svg += "<line class=\"axis\" x1=\"" + std::to_string(kLeft) + "\" y1=\"" +
           std::to_string(kHeight + 5) + "\" x2=\"" + std::to_string(width) + "\" y2=\"" +
           std::to_string(kHeight + 5) + "\"/>";
    svg += "<text x=\"0\" y=\"20\">" + std::to_string(most) + "</text><text x=\"0\" y=\"" +
           std::to_string(kHeight + 5) + "\">0</text>";
    std::string rows;
    for (int i = 0; i < kDays; ++i) {
        const local_days day = first + days(i);
        const std::int64_t n = checks(day);
        const int h = static_cast<int>(n * (kHeight - 10) / most);
        const std::string date = shortDate(day);
        const int x = kLeft + i * kBarWidth + 2;
        svg += "<rect class=\"bar\" x=\"" + std::to_string(x) + "\" y=\"" +
               std::to_string(kHeight + 5 - h) + "\" width=\"" + std::to_string(kBarWidth - 4) +
               "\" height=\"" + std::to_string(h) + "\"><title>" + page_text::dayChecks(date, n) +
               "</title></rect>";
        if (i % 5 == 4 || i == kDays - 1)
            svg += dateLabel(x + kBarWidth / 2 - 2, kHeight + kBottom + 5, width - 2, date,
                             i == kDays - 1);
        rows = "<tr><th scope=\"row\">" + date + (day == today ? page_text::kToday : "") +
               "</th><td>" + std::to_string(n) + "</td></tr>" + rows;
    }
    svg += "</svg>";
    return "<p>" +
           page_text::checksSummary("<strong>" + std::to_string(total) + "</strong>",
                                    "<strong>" + std::to_string(checks(today)) + "</strong>") +
           "</p>\n<figure>" + svg + "</figure>\n<details><summary>" + page_text::kDailyFigures +
           "</summary><table><thead><tr><th scope=\"col\">" + page_text::kDateColumn +
           "</th><th scope=\"col\">" + page_text::kCountColumn + "</th></tr></thead><tbody>" +
           rows + "</tbody></table></details>\n";
}

/// A day's checks by version label, all platforms together.
std::map<std::string, std::int64_t> byVersion(const FieldDay& day) {
    std::map<std::string, std::int64_t> out;
    for (const auto& [key, n] : day.checks)
        out[key.version] += n;
    return out;
}

/// Newest version first, then the tools that sent none, then the rest.
bool drawnBefore(const std::string& a, const std::string& b) {
    const auto rank = [](const std::string& label) {
        if (const auto n = versionNumber(label))
            return -*n;
        return label == kEarlyLabel ? std::int64_t{1} : std::int64_t{2};
    };
    return rank(a) < rank(b);
}

struct Legend {
    std::vector<std::string> labels; // drawn from the bottom up
    std::vector<const char*> colours;
    /// The label a version is drawn under.
    const std::string& drawnAs(const std::string& version) const {
        const auto it = std::find(labels.begin(), labels.end(), version);
        return it == labels.end() ? labels.back() : *it;
    }
};

/// The versions most checked over the days get a colour each; the rest
/// share kOtherLabel's, so that the chart stays readable.
Legend legendOf(const FieldDays& field) {
    std::map<std::string, std::int64_t> totals;
    for (const auto& [day, counts] : field)
        for (const auto& [version, n] : byVersion(counts))
            totals[version] += n;
    std::vector<std::pair<std::string, std::int64_t>> ranked;
    for (const auto& [version, n] : totals)
        if (versionNumber(version))
            ranked.emplace_back(version, n);
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    if (ranked.size() > kDrawnVersions)
        ranked.resize(kDrawnVersions);
    Legend legend;
    for (const auto& [version, n] : ranked)
        legend.labels.push_back(version);
    std::sort(legend.labels.begin(), legend.labels.end(), drawnBefore);
    for (std::size_t i = 0; i < legend.labels.size(); ++i)
        legend.colours.push_back(kColours[i]);
    legend.labels.push_back(kEarlyLabel);
    legend.colours.push_back(kEarlyColour);
    legend.labels.push_back(kOtherLabel);
    legend.colours.push_back(kOtherColour);
    return legend;
}

/// The share of each version per day over kFieldDays, stacked, with its
/// legend and a table of the same numbers and the distinct clients.
std::string versionsSection(const FieldDays& field, local_days today) {
    constexpr int kDays = kFieldDays;
    const local_days first = today - days(kDays - 1);
    const Legend legend = legendOf(field);
    constexpr int kColumn = 6, kHeight = 160, kLeft = 44, kBottom = 20;
    const int width = kLeft + kDays * kColumn + 10;
    std::string svg = "<svg role=\"img\" aria-labelledby=\"versions-title\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(kHeight + kBottom + 10) +
                      "\" width=\"100%\"><title id=\"versions-title\">" +
                      page_text::versionsChartTitle(kDays) + "</title>";
    svg += "<line class=\"axis\" x1=\"" + std::to_string(kLeft) + "\" y1=\"" +
           std::to_string(kHeight + 5) + "\" x2=\"" + std::to_string(width) + "\" y2=\"" +
           std::to_string(kHeight + 5) + "\"/>";
    svg += "<text x=\"0\" y=\"20\">100%</text><text x=\"0\" y=\"" + std::to_string(kHeight + 5) +
           "\">0</text>";
    std::string rows;
    for (int i = 0; i < kDays; ++i) {
        const local_days day = first + days(i);
        const int x = kLeft + i * kColumn;
        if (i % 15 == 14)
            svg += dateLabel(x + kColumn / 2, kHeight + kBottom + 5, width - 2, shortDate(day),
                             i == kDays - 1);
        const auto it = field.find(day);
        if (it == field.end())
            continue;
        std::map<std::string, std::int64_t> drawn;
        std::int64_t total = 0;
        for (const auto& [version, n] : byVersion(it->second)) {
            drawn[legend.drawnAs(version)] += n;
            total += n;
        }
        const long long clients = it->second.clients.value_or(0);
        if (total == 0 && clients == 0)
            continue;
        // From the bottom up, each share rounded at its top edge: the
        // column always ends at 100 %.
        std::int64_t below = 0;
        std::string shares;
        for (std::size_t l = 0; l < legend.labels.size(); ++l) {
            const auto found = drawn.find(legend.labels[l]);
            const std::int64_t n = found == drawn.end() ? 0 : found->second;
            if (n == 0)
                continue;
            shares += (shares.empty() ? "" : "，") + escapeHtml(legend.labels[l]) + " " +
                      percent(n, total);
            const int bottom = static_cast<int>(below * (kHeight - 5) / total);
            below += n;
            const int top = static_cast<int>(below * (kHeight - 5) / total);
            svg += "<rect x=\"" + std::to_string(x + 1) + "\" y=\"" +
                   std::to_string(kHeight + 5 - top) + "\" width=\"" + std::to_string(kColumn - 1) +
                   "\" height=\"" + std::to_string(top - bottom) + "\" fill=\"" +
                   legend.colours[l] + "\"/>";
        }
        rows = "<tr><th scope=\"row\">" + longDate(day) + (day == today ? page_text::kToday : "") +
               "</th><td>" + std::to_string(total) + "</td><td>" + std::to_string(clients) +
               "</td><td class=\"shares\">" + shares + "</td></tr>" + rows;
    }
    svg += "</svg>";
    std::string keys = "<p class=\"legend\">";
    for (std::size_t l = 0; l < legend.labels.size(); ++l) {
        keys += std::string(l == 0 ? "" : "　") +
                "<span class=\"keep\"><svg width=\"14\" height=\"14\" aria-hidden=\"true\">"
                "<rect width=\"14\" height=\"14\" fill=\"" +
                legend.colours[l] + "\"/></svg> " + escapeHtml(legend.labels[l]) + "</span>";
    }
    keys += "</p>";
    const auto clientsOn = [&](local_days day) -> std::optional<long long> {
        if (const auto it = field.find(day); it != field.end() && it->second.clients)
            return it->second.clients;
        return std::nullopt;
    };
    std::string clients;
    const auto todays = clientsOn(today), yesterdays = clientsOn(today - days(1));
    if (todays)
        clients = page_text::clientsToday("<strong>" + std::to_string(*todays) + "</strong>");
    if (yesterdays)
        clients +=
            std::string(todays ? page_text::kListComma : "") +
            page_text::clientsYesterday("<strong>" + std::to_string(*yesterdays) + "</strong>");
    if (!clients.empty())
        clients = "<p>" + clients + page_text::kClientsAfter + "</p>\n";
    return std::string("<h2>") + page_text::kVersionsTitle + "</h2>\n" + clients + "<figure>" +
           svg + "<figcaption>" + keys + "</figcaption></figure>\n<details><summary>" +
           page_text::kDailyVersions + "</summary><table><thead><tr><th scope=\"col\">" +
           page_text::kDateColumn + "</th><th scope=\"col\">" + page_text::kChecksColumn +
           "</th><th scope=\"col\">" + page_text::kClientsColumn + "</th><th scope=\"col\">" +
           page_text::kSharesColumn + "</th></tr></thead><tbody>" + rows +
           "</tbody></table></details>\n";
}

/// The checks of `platform` on `day`: all of them, and those of `version`.
/// The tools that named no platform are answered as Windows tools, and
/// counted with them.
std::pair<std::int64_t, std::int64_t> shareOf(const FieldDays& field, local_days day,
                                              Platform platform, const std::string& version) {
    std::pair<std::int64_t, std::int64_t> partWhole{0, 0};
    const std::string_view name = platformName(platform);
    if (const auto it = field.find(day); it != field.end())
        for (const auto& [key, n] : it->second.checks)
            if (key.platform == name || (key.platform.empty() && platform == Platform::Windows)) {
                partWhole.second += n;
                partWhole.first += key.version == version ? n : 0;
            }
    return partWhole;
}

std::string shareCell(std::pair<std::int64_t, std::int64_t> partWhole) {
    const auto [part, whole] = partWhole;
    if (whole == 0)
        return page_text::kNoChecks;
    return "<strong>" + percent(part, whole) + "</strong>" + page_text::shareOfChecks(part, whole);
}

/// Which networks get the live release, and what the others get.
std::string rolloutCell(const PlatformOffer& offer) {
    if (!offer.live)
        return page_text::kNothingLive;
    const std::string live = escapeHtml(toUtf8(offer.live->version));
    const std::string others =
        offer.earlier ? page_text::kGetEarlier + escapeHtml(toUtf8(offer.earlier->version))
                      : std::string(page_text::kRestGetNothing);
    if (offer.rollout >= 100)
        return page_text::kAllNetworksGet + live;
    if (offer.rollout == 0)
        return std::string("<strong>") + page_text::kHaltedMark + "</strong> " + live +
               page_text::kHaltedAllNetworks + others;
    return page_text::stagedRollout(offer.rollout, live) + others;
}

/// When the release passed half of its platform's checks on a full day.
std::string halfCell(const UseView& view, const PlatformRelease& r, const std::string& version) {
    // The history's first row, from before it kept times, has none.
    if (!r.published || *r.published == std::chrono::sys_seconds{})
        return "—";
    const local_days published = localDay(*r.published);
    const std::string out = page_text::publishedOn(longDate(published));
    for (local_days d = std::max(published, view.today - days(kFieldDays - 1)); d < view.today;
         d += days(1))
        if (const auto [p, w] = shareOf(view.field, d, r.platform, version); w > 0 && 2 * p > w)
            return out + page_text::passedHalf(
                             "<strong>" + std::to_string((d - published).count()) + "</strong>",
                             longDate(d));
    return out + "<strong>" + page_text::kNotHalfYet + "</strong>";
}

/// Each platform's rollout, and its newest release out with that release's
/// share of today's checks so far and of yesterday's, and when it passed
/// half: a column a platform, so that the table fits a phone.
std::string newestSection(const UseView& view) {
    std::string out = std::string("<h2>") + page_text::kNewestTitle + "</h2>\n";
    if (std::none_of(view.releases.begin(), view.releases.end(),
                     [](const PlatformRelease& r) { return r.offer.live.has_value(); }))
        return out + "<p>" + page_text::kNothingLiveNow + "</p>\n";
    std::string head, state, newest, today, yesterday, half;
    for (const PlatformRelease& r : view.releases) {
        head +=
            "<th scope=\"col\" class=\"keep\">" + std::string(platformLabel(r.platform)) + "</th>";
        state += "<td>" + rolloutCell(r.offer) + "</td>";
        const auto release = newestOut(r.offer);
        if (!release) {
            for (std::string* cells : {&newest, &today, &yesterday, &half})
                *cells += "<td>—</td>";
            continue;
        }
        const std::string version = toUtf8(release->version);
        const bool staged = r.offer.rollout > 0 && r.offer.rollout < 100;
        newest += "<td><strong>" + escapeHtml(version) + "</strong>" +
                  (staged ? page_text::stagedShare(r.offer.rollout) : std::string()) + "</td>";
        today += "<td>" + shareCell(shareOf(view.field, view.today, r.platform, version)) + "</td>";
        yesterday += "<td>" +
                     shareCell(shareOf(view.field, view.today - days(1), r.platform, version)) +
                     "</td>";
        half += "<td>" + halfCell(view, r, version) + "</td>";
    }
    const auto row = [](const char* name, const std::string& cells) {
        return "<tr><th scope=\"row\">" + std::string(name) + "</th>" + cells + "</tr>";
    };
    return out + "<table><caption>" + page_text::kNewestCaption + "</caption><thead><tr><td></td>" +
           head + "</tr></thead><tbody>" + row(page_text::kStateRow, state) +
           row(page_text::kNewestRow, newest) + row(page_text::kTodayRow, today) +
           row(page_text::kYesterdayRow, yesterday) + row(page_text::kHalfRow, half) +
           "</tbody></table>\n<p class=\"muted\">" + page_text::kNewestNote + "</p>\n";
}

/// Which networks are offered a release of the platform now, if any.
std::string reachMark(const std::vector<PlatformRelease>& releases, const VersionKey& key) {
    for (const PlatformRelease& r : releases) {
        if (platformName(r.platform) != key.platform || !r.offer.live)
            continue;
        if (toUtf8(r.offer.live->version) == key.version)
            return r.offer.rollout >= 100 ? page_text::kAllNetworks
                   : r.offer.rollout == 0 ? page_text::kHaltedNetworks
                                          : page_text::shareOfNetworks(r.offer.rollout);
        if (r.offer.earlier && toUtf8(r.offer.earlier->version) == key.version)
            return r.offer.rollout == 0 ? page_text::kAllNetworks : page_text::kOtherNetworks;
    }
    return "";
}

/// Offers made and downloads completed by release, today's so far and over
/// kFieldDays; the releases offered now are listed even at 0, so that a
/// halted one is seen not to go out.
std::string releasesSection(const UseView& view) {
    struct Figures {
        std::int64_t offersToday = 0, downloadsToday = 0, offers = 0, downloads = 0;
    };
    std::map<VersionKey, Figures> byRelease;
    for (const PlatformRelease& r : view.releases)
        for (const auto& release : {r.offer.live, r.offer.earlier})
            if (release)
                byRelease[{std::string(platformName(r.platform)), toUtf8(release->version)}];
    for (const auto& [day, counts] : view.field) {
        for (const auto& [key, n] : counts.offers) {
            byRelease[key].offers += n;
            byRelease[key].offersToday += day == view.today ? n : 0;
        }
        for (const auto& [key, n] : counts.downloads) {
            byRelease[key].downloads += n;
            byRelease[key].downloadsToday += day == view.today ? n : 0;
        }
    }
    std::string out = std::string("<h2>") + page_text::kOffersTitle + "</h2>\n";
    if (byRelease.empty())
        return out + "<p>" + page_text::noOffersIn(kFieldDays) + "</p>\n";
    // Two tables of four columns rather than one of six: each fits a phone.
    const auto table = [&](const std::string& caption, bool today) {
        std::string rows;
        for (auto it = byRelease.rbegin(); it != byRelease.rend(); ++it) {
            const Figures& f = it->second;
            const std::int64_t offers = today ? f.offersToday : f.offers;
            const std::int64_t downloads = today ? f.downloadsToday : f.downloads;
            const std::string mark = reachMark(view.releases, it->first);
            // Today's: what happened, and the releases offered now even at 0.
            if (today && offers == 0 && downloads == 0 && mark.empty())
                continue;
            const auto platform = parsePlatform(it->first.platform);
            // Names and numbers kept whole: on a phone the version's cell wraps.
            rows += "<tr><th scope=\"row\" class=\"keep\">" +
                    escapeHtml(platform ? platformLabel(*platform) : it->first.platform) +
                    "</th><td>" + escapeHtml(it->first.version) + mark +
                    "</td><td class=\"keep\">" + std::to_string(offers) +
                    "</td><td class=\"keep\">" + std::to_string(downloads) + "</td></tr>";
        }
        if (rows.empty())
            return "<p>" + caption + page_text::kNoOffersThen + "</p>\n";
        return "<table><caption>" + caption + page_text::kByRelease +
               "</caption><thead><tr><th scope=\"col\">" + page_text::kPlatformColumn +
               "</th><th scope=\"col\">" + page_text::kVersionColumn + "</th><th scope=\"col\">" +
               page_text::kOffersColumn + "</th><th scope=\"col\">" + page_text::kDownloadsColumn +
               "</th></tr></thead><tbody>" + rows + "</tbody></table>\n";
    };
    return out + table(page_text::kTodaySoFar, true) +
           table(page_text::lastDays(kFieldDays), false) + "<p class=\"muted\">" +
           page_text::kOffersNote + "</p>\n";
}

} // namespace

std::string usePage(const UseView& view) {
    std::string main = std::string("<h1>") + page_text::kUseNav + "</h1>\n" +
                       checksSection(view.checksPerDay, view.today);
    main += newestSection(view);
    main += versionsSection(view.field, view.today);
    main += releasesSection(view);
    main += std::string("<p class=\"muted\">") + page_text::kVersionsNoteBefore + kEarlyLabel +
            page_text::kVersionsNoteAfter + "</p>\n";
    return adminFrame(page_text::kUseNav, main, "/use");
}

} // namespace pelvoran::server
