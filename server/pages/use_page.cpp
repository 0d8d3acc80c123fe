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
std::string checksSection(const UseCounts& checksPerDay, local_days today) {
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
        rows =
            "<tr><th scope=\"row\">" + date + "</th><td>" + std::to_string(n) + "</td></tr>" + rows;
    }
    svg += "</svg>";
    return "<p>最近 30 天共有 <strong>" + std::to_string(total) +
           "</strong> 次更新检查到达服务器。</p>\n<figure>" + svg +
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
        rows = "<tr><th scope=\"row\">" + longDate(day) + "</th><td>" + std::to_string(total) +
               "</td><td>" + std::to_string(clients) + "</td><td class=\"shares\">" + shares +
               "</td></tr>" + rows;
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
    std::string clients;
    if (const auto it = field.find(today - days(1)); it != field.end() && it->second.clients)
        clients = "<p>昨天约有 <strong>" +
                  std::to_string(std::llround(it->second.clients->estimate())) +
                  "</strong> 个不同的客户端检查更新。</p>\n";
    return "<h2>各版本的比例</h2>\n" + clients + "<figure>" + svg + "<figcaption>" + keys +
           "</figcaption></figure>\n<details><summary>逐日版本比例和不同的客户端</summary>"
           "<table><thead><tr><th scope=\"col\">日期</th><th scope=\"col\">检查次数</th>"
           "<th scope=\"col\">不同的客户端（约）</th><th scope=\"col\">各版本的比例</th></tr>"
           "</thead><tbody>" +
           rows + "</tbody></table></details>\n";
}

/// The newest version's share of yesterday's checks, and the day it first
/// passed half since it was published.
std::string newestSection(const UseView& view) {
    std::string out = "<h2>最新版本的用户比例</h2>\n<p>";
    if (!view.newest)
        return out + "还没有发布过版本。</p>\n";
    const std::string& version = view.newest->version;
    const local_days yesterday = view.today - days(1);
    const auto share = [&](local_days day) {
        std::pair<std::int64_t, std::int64_t> partWhole{0, 0};
        if (const auto it = view.field.find(day); it != view.field.end())
            for (const auto& [label, n] : byVersion(it->second)) {
                partWhole.second += n;
                partWhole.first += label == version ? n : 0;
            }
        return partWhole;
    };
    const auto [part, whole] = share(yesterday);

    out += "最新版本 <strong>" + escapeHtml(version) + "</strong>：";
    out += whole == 0
               ? std::string("昨天没有更新检查。")
               : "昨天的 " + std::to_string(whole) + " 次更新检查中有 " + std::to_string(part) +
                     " 次，占 <strong>" + percent(part, whole) + "</strong>。";
    // The history's first row, from before it kept times, has none.
    if (view.newest->published == std::chrono::sys_seconds{})
        return out + "</p>\n";
    const local_days published = localDay(view.newest->published);
    out += "它于 " + longDate(published) + " 发布，";
    for (local_days d = std::max(published, view.today - days(kFieldDays - 1)); d <= yesterday;
         d += days(1))
        if (const auto [p, w] = share(d); w > 0 && 2 * p > w)
            return out + "发布后 <strong>" + std::to_string((d - published).count()) +
                   "</strong> 天用户过半（" + longDate(d) + "）。</p>\n";
    return out + "<strong>尚未过半</strong>。</p>\n";
}

/// Offers made and downloads completed over kFieldDays, by release.
std::string releasesSection(const FieldCounts& field) {
    std::map<FieldKey, std::pair<std::int64_t, std::int64_t>> byRelease;
    for (const auto& [day, counts] : field) {
        for (const auto& [key, n] : counts.offers)
            byRelease[key].first += n;
        for (const auto& [key, n] : counts.downloads)
            byRelease[key].second += n;
    }
    std::string out = "<h2>提供与下载</h2>\n";
    if (byRelease.empty())
        return out + "<p>最近 " + std::to_string(kFieldDays) +
               " 天没有向工具提供过新版本，也没有完成的下载。</p>\n";
    out += "<table><caption>最近 " + std::to_string(kFieldDays) +
           " 天，按发布的版本</caption><thead><tr><th scope=\"col\">平台</th>"
           "<th scope=\"col\">版本</th><th scope=\"col\">提供次数</th>"
           "<th scope=\"col\">完成的下载</th></tr></thead><tbody>";
    for (auto it = byRelease.rbegin(); it != byRelease.rend(); ++it) {
        const auto platform = parsePlatform(it->first.platform);
        out += "<tr><th scope=\"row\">" +
               escapeHtml(platform ? platformLabel(*platform) : it->first.platform) + "</th><td>" +
               escapeHtml(it->first.version) + "</td><td>" + std::to_string(it->second.first) +
               "</td><td>" + std::to_string(it->second.second) + "</td></tr>";
    }
    return out + "</tbody></table>\n";
}

} // namespace

std::string usePage(const UseView& view) {
    std::string main = "<h1>使用情况</h1>\n" + checksSection(view.checksPerDay, view.today);
    main += newestSection(view);
    main += versionsSection(view.field, view.today);
    main += releasesSection(view.field);
    main += "<p class=\"muted\">版本来自工具的 User-Agent；早先发布、不发送它的工具（1.05 "
            "及更早）记为“" +
            std::string(kEarlyLabel) +
            "”。不同的客户端按网络（IPv4 /24、IPv6 /48）和平台估算，服务器不保存任何地址。</p>\n";
    return adminFrame("使用情况", main, "/use");
}

} // namespace pelvoran::server
