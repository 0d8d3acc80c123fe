#include "server/pages/use_page.h"

#include "server/pages/admin_pages.h"
#include "server/pages/html.h"
#include "server/support/time_text.h"

#include <algorithm>
#include <cmath>
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
std::string checksSection(const ChecksPerDay& checksPerDay, local_days today) {
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
    std::string svg =
        "<svg role=\"img\" aria-labelledby=\"chart-title\" viewBox=\"0 0 " + std::to_string(width) +
        " " + std::to_string(kHeight + kBottom + 10) +
        "\" width=\"100%\"><title id=\"chart-title\">最近 30 天每天的更新检查次数，最多 " +
        std::to_string(most) + " 次</title>";
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
               "\" height=\"" + std::to_string(h) + "\"><title>" + date + "：" + std::to_string(n) +
               " 次</title></rect>";
        if (i % 5 == 4 || i == kDays - 1)
            svg += dateLabel(x + kBarWidth / 2 - 2, kHeight + kBottom + 5, width - 2, date,
                             i == kDays - 1);
        rows = "<tr><th scope=\"row\">" + date + (day == today ? "（今天）" : "") + "</th><td>" +
               std::to_string(n) + "</td></tr>" + rows;
    }
    svg += "</svg>";
    return "<p>最近 30 天共有 <strong>" + std::to_string(total) +
           "</strong> 次更新检查到达服务器，其中今天到目前为止 <strong>" +
           std::to_string(checks(today)) + "</strong> 次。</p>\n<figure>" + svg +
           "</figure>\n<details><summary>逐日数字</summary><table><thead><tr>"
           "<th scope=\"col\">日期</th><th scope=\"col\">次数</th></tr></thead><tbody>" +
           rows + "</tbody></table></details>\n";
}

/// A day's checks by version label, all platforms together.
std::map<std::string, std::int64_t> byVersion(const DayField& day) {
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
Legend legendOf(const FieldCounts& field) {
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
std::string versionsSection(const FieldCounts& field, local_days today) {
    constexpr int kDays = kFieldDays;
    const local_days first = today - days(kDays - 1);
    const Legend legend = legendOf(field);
    constexpr int kColumn = 6, kHeight = 160, kLeft = 44, kBottom = 20;
    const int width = kLeft + kDays * kColumn + 10;
    std::string svg = "<svg role=\"img\" aria-labelledby=\"versions-title\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(kHeight + kBottom + 10) +
                      "\" width=\"100%\"><title id=\"versions-title\">最近 " +
                      std::to_string(kDays) +
                      " 天每天的更新检查中各版本所占的比例（逐日数字见下表）</title>";
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
        const auto clients =
            it->second.clients ? std::llround(it->second.clients->estimate()) : 0LL;
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
        rows = "<tr><th scope=\"row\">" + longDate(day) + (day == today ? "（今天）" : "") +
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
            return std::llround(it->second.clients->estimate());
        return std::nullopt;
    };
    std::string clients;
    const auto todays = clientsOn(today), yesterdays = clientsOn(today - days(1));
    if (todays)
        clients = "今天到目前为止约有 <strong>" + std::to_string(*todays) + "</strong> 个";
    if (yesterdays)
        clients += std::string(todays ? "，" : "") + "昨天约有 <strong>" +
                   std::to_string(*yesterdays) + "</strong> 个";
    if (!clients.empty())
        clients = "<p>" + clients + "不同的客户端检查更新。</p>\n";
    return "<h2>各版本的比例</h2>\n" + clients + "<figure>" + svg + "<figcaption>" + keys +
           "</figcaption></figure>\n<details><summary>逐日版本比例和不同的客户端</summary>"
           "<table><thead><tr><th scope=\"col\">日期</th><th scope=\"col\">检查次数</th>"
           "<th scope=\"col\">不同的客户端（约）</th><th scope=\"col\">各版本的比例</th></tr>"
           "</thead><tbody>" +
           rows + "</tbody></table></details>\n";
}

/// The checks of `platform` on `day`: all of them, and those of `version`.
/// The tools that named no platform are answered as Windows tools, and
/// counted with them.
std::pair<std::int64_t, std::int64_t> shareOf(const FieldCounts& field, local_days day,
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
        return "没有更新检查";
    return "<strong>" + percent(part, whole) + "</strong>（" + std::to_string(whole) + " 次中 " +
           std::to_string(part) + " 次）";
}

/// Which networks get the live release, and what the others get.
std::string rolloutCell(const PlatformOffer& offer) {
    if (!offer.live)
        return "没有发布的版本";
    const std::string live = escapeHtml(toUtf8(offer.live->version));
    const std::string others =
        offer.earlier ? "收到 " + escapeHtml(toUtf8(offer.earlier->version)) : "不提示更新";
    if (offer.rollout >= 100)
        return "所有网络都收到 " + live;
    if (offer.rollout == 0)
        return "<strong>已暂停</strong> " + live + "（0%）：所有网络都" + others;
    return "分阶段发布：" + std::to_string(offer.rollout) + "% 的网络收到 " + live + "，其余的" +
           others;
}

/// When the release passed half of its platform's checks on a full day.
std::string halfCell(const UseView& view, const PlatformRelease& r, const std::string& version) {
    // The history's first row, from before it kept times, has none.
    if (!r.published || *r.published == std::chrono::sys_seconds{})
        return "—";
    const local_days published = localDay(*r.published);
    const std::string out = longDate(published) + " 发布，";
    for (local_days d = std::max(published, view.today - days(kFieldDays - 1)); d < view.today;
         d += days(1))
        if (const auto [p, w] = shareOf(view.field, d, r.platform, version); w > 0 && 2 * p > w)
            return out + "发布后 <strong>" + std::to_string((d - published).count()) +
                   "</strong> 天过半（" + longDate(d) + "）";
    return out + "<strong>尚未过半</strong>";
}

/// Each platform's rollout, and its newest release out with that release's
/// share of today's checks so far and of yesterday's, and when it passed
/// half: a column a platform, so that the table fits a phone.
std::string newestSection(const UseView& view) {
    std::string out = "<h2>最新版本的用户比例</h2>\n";
    if (std::none_of(view.releases.begin(), view.releases.end(),
                     [](const PlatformRelease& r) { return r.offer.live.has_value(); }))
        return out + "<p>现在没有发布的版本。</p>\n";
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
                  (staged ? "（分阶段：" + std::to_string(r.offer.rollout) + "% 的网络）"
                          : std::string()) +
                  "</td>";
        today += "<td>" + shareCell(shareOf(view.field, view.today, r.platform, version)) + "</td>";
        yesterday += "<td>" +
                     shareCell(shareOf(view.field, view.today - days(1), r.platform, version)) +
                     "</td>";
        half += "<td>" + halfCell(view, r, version) + "</td>";
    }
    const auto row = [](const char* name, const std::string& cells) {
        return "<tr><th scope=\"row\">" + std::string(name) + "</th>" + cells + "</tr>";
    };
    return out +
           "<table><caption>各平台的发布状态，和最新版本在该平台的更新检查中所占的比例"
           "</caption><thead><tr><td></td>" +
           head + "</tr></thead><tbody>" + row("发布状态", state) + row("最新版本", newest) +
           row("今天（到目前为止）", today) + row("昨天", yesterday) + row("用户过半", half) +
           "</tbody></table>\n<p class=\"muted\">最新版本是正在发布的版本：分阶段发布时也算，"
           "并标出收到它的网络比例；暂停后改看所有网络收到的版本。没有标明平台的更新检查"
           "（早先发布、不发送 User-Agent 的工具）按 Windows 工具答复，也算在 Windows 里。"
           "过半看的是整天的数字。"
           "</p>\n";
}

/// Which networks are offered a release of the platform now, if any.
std::string reachMark(const std::vector<PlatformRelease>& releases, const FieldKey& key) {
    for (const PlatformRelease& r : releases) {
        if (platformName(r.platform) != key.platform || !r.offer.live)
            continue;
        if (toUtf8(r.offer.live->version) == key.version)
            return r.offer.rollout >= 100 ? "（所有网络）"
                   : r.offer.rollout == 0 ? "（已暂停）"
                                          : "（" + std::to_string(r.offer.rollout) + "% 的网络）";
        if (r.offer.earlier && toUtf8(r.offer.earlier->version) == key.version)
            return r.offer.rollout == 0 ? "（所有网络）" : "（其余网络）";
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
    std::map<FieldKey, Figures> byRelease;
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
    std::string out = "<h2>提供与下载</h2>\n";
    if (byRelease.empty())
        return out + "<p>最近 " + std::to_string(kFieldDays) +
               " 天没有向工具提供过新版本，也没有完成的下载。</p>\n";
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
            return "<p>" + caption + "：没有向工具提供过新版本，也没有完成的下载。</p>\n";
        return "<table><caption>" + caption +
               "，按发布的版本</caption><thead><tr><th scope=\"col\">平台</th>"
               "<th scope=\"col\">版本</th><th scope=\"col\">提供</th>"
               "<th scope=\"col\">完成的下载</th></tr></thead><tbody>" +
               rows + "</tbody></table>\n";
    };
    return out + table("今天到目前为止", true) +
           table("最近 " + std::to_string(kFieldDays) + " 天", false) +
           "<p class=\"muted\">提供：答复了比工具自己的版本更新的版本；已经是这个版本的工具"
           "检查更新时也收到它，但不算提供。下载：完整下载了文件，每个网络每个版本每天只算一次。"
           "</p>\n";
}

} // namespace

std::string usePage(const UseView& view) {
    std::string main = "<h1>使用情况</h1>\n" + checksSection(view.checksPerDay, view.today);
    main += newestSection(view);
    main += versionsSection(view.field, view.today);
    main += releasesSection(view);
    main += "<p class=\"muted\">版本来自工具的 User-Agent；早先发布、不发送它的工具（1.05 "
            "及更早）记为“" +
            std::string(kEarlyLabel) +
            "”。不同的客户端按网络（IPv4 /24、IPv6 /48）和平台估算，服务器不保存任何地址。</p>\n";
    return adminFrame("使用情况", main, "/use");
}

} // namespace pelvoran::server
