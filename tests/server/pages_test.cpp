// The pages on their own: data in, HTML out, every text escaped.
#include "net/escaping.h"
#include "platform/hex.h"
#include "server/http/routes.h"
#include "server/http/web.h"
#include "server/pages/admin_pages.h"
#include "server/pages/html.h"
#include "server/pages/page_texts.h"
#include "server/pages/public_site.h"
#include "server/pages/rows.h"
#include "server/pages/use_page.h"
#include "server/release/release.h"
#include "server/support/time_text.h"

#include <cstdio>

#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace pelvoran;
using namespace pelvoran::server;
using namespace std::chrono_literals;

// The publisher's pages in-process, on a real database in a fresh state
// directory, through a session opened with the token as a browser would.
namespace {

std::string headerOf(const WebResponse& r, const std::string& name) {
    for (const auto& [k, v] : r.headers)
        if (k == name)
            return v;
    return "";
}

} // namespace

// One escaping function serves every page: markup typed by a user stays text
// in element content and in quoted attributes.
TEST(Pages, HtmlEscapingAndBrowserForms) {
    EXPECT_EQ(escapeHtml("<script>alert(1)</script>"), "&lt;script&gt;alert(1)&lt;/script&gt;");
    EXPECT_EQ(escapeHtml("\" onmouseover='x' a&b 镜头"),
              "&quot; onmouseover=&#39;x&#39; a&amp;b 镜头");

    const auto form = parseForm("text=50%25+off%2B1&a=%E9%95%9C%0D%0A&b&text=second&c=%FF%zz");
    EXPECT_EQ(form.at("text"), "50% off+1"); // "+" is a blank here; the first value counts
    EXPECT_EQ(form.at("a"), "镜\r\n");
    EXPECT_EQ(form.at("b"), "");
    EXPECT_EQ(form.at("c"), "\xEF\xBF\xBD%zz");

    // The code as the desktop box keeps it.
    EXPECT_EQ(codeAsTyped("UE0945\r\nsecond line"), "UE0945");
    EXPECT_EQ(codeAsTyped("123456789012345"), "1234567890");
    EXPECT_EQ(codeAsTyped("😀😀😀😀😀😀"), "😀😀😀😀😀"); // ten code units, no half character
    EXPECT_EQ(codeAsTyped("ab😀😀😀😀"), "ab😀😀😀😀");
    EXPECT_EQ(codeAsTyped("abc😀😀😀😀"), "abc😀😀😀");
}

TEST(PublicPages, ErrorPagesFitAPhoneAndLeadBackToTheLookup) {
    const struct {
        unsigned status;
        const char* says;
        const char* allow;
    } cases[] = {
        {404, page_text::kNotFound.what, ""},
        {405, page_text::kBadMethod.what, "GET, HEAD"},
        {400, page_text::kBadRequest.what, ""},
        {413, "1 MiB", ""},
        {431, page_text::kHeadersTooLarge.what, ""},
        {501, page_text::kBadMethod.what, ""},
        {503, page_text::kBusy.what, ""},
    };
    for (const auto& c : cases) {
        const WebResponse r = publicErrorPage(c.status);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.type, "text/html; charset=utf-8") << c.status;
        EXPECT_NE(r.body.find(c.says), std::string::npos) << c.status;
        EXPECT_NE(r.body.find("name=\"viewport\""), std::string::npos) << c.status;
        EXPECT_NE(r.body.find("<a href=\"/\""), std::string::npos) << c.status;
        EXPECT_NE(headerOf(r, "Content-Security-Policy"), "") << c.status;
        EXPECT_EQ(headerOf(r, "Allow"), c.allow) << c.status;
    }
}

// Every text a publisher's page shows stays text: markup in any of them
// comes out escaped, and is still there to read.
TEST(AdminPageRendering, EveryTextShownIsEscaped) {
    const std::string markup = "\"'><i-x>&";
    const Text text = fromUtf8Lenient(markup);
    const auto comments = [](auto change) {
        CommentsView v;
        v.list = {{{.id = 1,
                    .received = std::chrono::sys_seconds(1000s),
                    .text = u"留言",
                    .source = "网页"}},
                  120};
        change(v);
        return commentsPage(v);
    };
    const auto release = [](auto change) {
        ReleaseView v;
        v.shown = v.draft = {u"9.99", u"https://example.com/p.zip", u"2026-01-02", u"说明"};
        change(v);
        return releasePage(v);
    };
    const auto history = [](auto change) {
        ReleaseRow c;
        c.id = 2;
        c.time = std::chrono::sys_seconds(1000s);
        c.published = true;
        change(c);
        ReleaseView v;
        v.history = {{c}, 1};
        return releasePage(v);
    };
    const auto audit = [](auto change) {
        AuditRow e;
        e.id = 1;
        e.time = std::chrono::sys_seconds(1000s);
        change(e);
        AuditView v;
        v.log = {{e}, 1};
        return auditPage(v);
    };
    const struct {
        const char* where;
        std::string page;
    } cases[] = {
        {"comment", comments([&](CommentsView& v) { v.list.comments[0].text = text; })},
        {"flagged comment", comments([&](CommentsView& v) {
             v.flagged = {{{.id = 2, .text = text, .source = "桌面工具", .flagged = true}}, 1};
         })},
        {"held comment", comments([&](CommentsView& v) {
             v.held = {{{.id = 3, .text = u"留言", .source = "网页", .held = markup}}, 1};
         })},
        {"search", comments([&](CommentsView& v) { v.search = markup; })},
        {"comments csrf", comments([&](CommentsView& v) { v.csrf = markup; })},
        {"published version", release([&](ReleaseView& v) { v.shown->version = text; })},
        {"published address", release([&](ReleaseView& v) { v.shown->address = text; })},
        {"published date", release([&](ReleaseView& v) { v.shown->date = text; })},
        {"published notes", release([&](ReleaseView& v) { v.shown->notes = text; })},
        {"previewed notes", release([&](ReleaseView& v) {
             v.draft.notes = text;
             v.previewing = true;
         })},
        {"draft version", release([&](ReleaseView& v) { v.draft.version = text; })},
        {"draft address", release([&](ReleaseView& v) { v.draft.address = text; })},
        {"draft date", release([&](ReleaseView& v) { v.draft.date = text; })},
        {"draft notes", release([&](ReleaseView& v) { v.draft.notes = text; })},
        {"field error", release([&](ReleaseView& v) { v.errors[ReleaseField::Date] = markup; })},
        {"notice", release([&](ReleaseView& v) { v.notice = "已发布 " + markup; })},
        {"release csrf", release([&](ReleaseView& v) { v.csrf = markup; })},
        {"history version", history([&](ReleaseRow& c) { c.release.version = text; })},
        {"history address", history([&](ReleaseRow& c) { c.release.address = text; })},
        {"history date", history([&](ReleaseRow& c) { c.release.date = text; })},
        {"history notes", history([&](ReleaseRow& c) { c.release.notes = text; })},
        {"history source", history([&](ReleaseRow& c) { c.source = markup; })},
        {"audit action", audit([&](AuditRow& e) { e.action = markup; })},
        {"audit detail", audit([&](AuditRow& e) { e.detail = markup; })},
        {"audit source", audit([&](AuditRow& e) { e.source = markup; })},
        {"audit address", audit([&](AuditRow& e) { e.address = markup; })},
        {"republish refusal", badRepublishPage(markup)},
        {"sign-in reason", signInPage(markup, "")},
        {"sign-in command", signInPage("", markup)},
        {"signed-out command", signedOutPage(markup)},
        {"denial", deniedPage(markup)},
        {"database error", databaseErrorPage(markup)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.page.find("<i-x"), std::string::npos) << c.where;
        EXPECT_NE(c.page.find("&lt;i-x&gt;"), std::string::npos) << c.where;
    }
}

// The use page counts the 30 days up to today, and only those; today's so
// far are said apart.
TEST(AdminPageRendering, UseCountsOnlyTheLast30Days) {
    constexpr std::chrono::local_days today(std::chrono::days(20000));
    const struct {
        DayCounts checks;
        const char* total;
        const char* today;
    } cases[] = {
        {{}, "<strong>0</strong>", "<strong>0</strong>"},
        {{{today, 5}, {today - std::chrono::days(29), 2}},
         "<strong>7</strong>",
         "<strong>5</strong>"},
        {{{today - std::chrono::days(30), 100},
          {today + std::chrono::days(1), 100},
          {today - std::chrono::days(3), 1}},
         "<strong>1</strong>",
         "<strong>0</strong>"},
    };
    for (const auto& c : cases) {
        const std::string page = usePage({c.checks, {}, {}, today});
        EXPECT_NE(page.find(page_text::checksSummary(c.total, c.today)), std::string::npos)
            << c.total << page;
    }
}

namespace {

Release published(const char16_t* version) {
    return {version, u"https://x.cn/a.exe", u"d", u"n"};
}

} // namespace

// The use page draws each day's versions from the counts, newest at
// the bottom, and says the newest release's share of today's checks so far
// and of yesterday's, and when it passed half of them on a full day since
// it was published (more than half: half is not past it); offers and
// downloads by release, today's and the 90 days'.
TEST(AdminPageRendering, UsePageDrawsEachDaysVersionsAndTheNewestsShare) {
    using std::chrono::days;
    const struct {
        std::map<int, std::pair<int, int>> days; // after publishing: 1.07, 1.06 checks
        const char* today;
        const char* yesterday;
        const char* half;
    } cases[] = {
        {{{1, {1, 9}}, {2, {6, 4}}, {4, {8, 2}}, {5, {1, 3}}},
         "<strong>25%</strong>（4 次中 1 次）",
         "<strong>80%</strong>（10 次中 8 次）",
         "DATE 发布，发布后 <strong>2</strong> 天过半（"},
        {{{1, {1, 1}}, {4, {1, 1}}},
         "没有更新检查",
         "<strong>50%</strong>（2 次中 1 次）",
         "DATE 发布，<strong>尚未过半</strong>"},
        {{{1, {3, 1}}}, "没有更新检查", "没有更新检查", "DATE 发布，发布后 <strong>1</strong> 天"},
    };
    const std::chrono::sys_seconds when(1765000000s);
    const auto day = localDay(when);
    const std::chrono::year_month_day ymd(day);
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    for (const auto& c : cases) {
        FieldDays field;
        for (const auto& [after, checks] : c.days) {
            FieldDay& counts = field[day + days(after)];
            counts.checks = {{{"windows", "1.07"}, checks.first},
                             {{"windows", "1.06"}, checks.second}};
            counts.offers = {{{"windows", "1.07"}, 2}};
            counts.downloads = {{{"windows", "1.07"}, 1}};
            counts.clients = 1;
        }
        field[day + days(1)].offers[{"linux", "<i-x>"}] = 1;
        const UseView view{
            {}, field, {{Platform::Windows, {published(u"1.07")}, when}}, day + days(5)};
        const std::string page = usePage(view);
        std::string half = c.half;
        half.replace(half.find("DATE"), 4, date);
        for (const std::string& said :
             {"<th scope=\"row\">" + std::string(page_text::kTodayRow) + "</th><td>" + c.today +
                  "</td>",
              "<th scope=\"row\">" + std::string(page_text::kYesterdayRow) + "</th><td>" +
                  c.yesterday + "</td>",
              "<th scope=\"row\">" + std::string(page_text::kHalfRow) + "</th><td>" + half})
            EXPECT_NE(page.find(said), std::string::npos) << said << page;
        // 3 of 4 checks: 1.07 from the bottom to 3/4 of the height, 1.06 above.
        if (c.days.begin()->second == std::pair{3, 1}) {
            EXPECT_NE(page.find("height=\"116\" fill=\"#0072b2\""), std::string::npos) << page;
            EXPECT_NE(page.find("height=\"39\" fill=\"#e69f00\""), std::string::npos) << page;
            EXPECT_NE(page.find("<td>4</td><td>1</td><td class=\"shares\">1.07 75%，1.06 25%</td>"),
                      std::string::npos)
                << "the same in the table";
        }
        const int today = c.days.contains(5) ? 1 : 0;
        const auto row = [](int offers, int downloads) {
            return "<td>1.07（所有网络）</td><td class=\"keep\">" + std::to_string(offers) +
                   "</td><td class=\"keep\">" + std::to_string(downloads) + "</td></tr>";
        };
        const auto ninety = page.find("最近 90 天，按发布的版本");
        EXPECT_LT(page.find(row(2 * today, today)), ninety) << "today's offers and downloads";
        EXPECT_NE(
            page.find(row(2 * static_cast<int>(c.days.size()), static_cast<int>(c.days.size())),
                      ninety),
            std::string::npos)
            << "the 90 days' " << page;
        EXPECT_EQ(page.find("<i-x>"), std::string::npos);
        EXPECT_NE(page.find("&lt;i-x&gt;"), std::string::npos);
    }
}

// Beside the figures, each platform's rollout; its newest release out is
// the live one, a staged one labelled with its share, and not a halted
// one: then the one every network gets. Its share counts the platform's
// checks today, those that named no platform among Windows'. The releases
// offered now are listed with today's offers even at 0, a halted one so
// marked.
TEST(AdminPageRendering, UsePageSaysEachPlatformsRolloutAndNewestReleaseOut) {
    constexpr std::chrono::local_days today(std::chrono::days(20000));
    FieldDays field;
    field[today].checks = {{{"windows", "1.08"}, 2},
                           {{"windows", "1.07"}, 6},
                           {{"", kEarlyLabel}, 2},
                           {{"linux", "1.08"}, 90}};
    field[today].offers = {{{"windows", "1.07"}, 3}};
    const auto row = [](const char* name, const std::string& windows) {
        return "<th scope=\"row\">" + std::string(name) + "</th><td>" + windows + "</td><td>";
    };
    const struct {
        const char* what;
        PlatformOffer windows;
        std::vector<std::string> says;
    } cases[] = {
        {"to every network",
         {published(u"1.08")},
         {row("发布状态", "所有网络都收到 1.08") + "没有发布的版本</td>",
          row("最新版本", "<strong>1.08</strong>") + "—</td>",
          row("今天（到目前为止）", "<strong>20%</strong>（10 次中 2 次）"),
          "<td>1.08（所有网络）</td><td class=\"keep\">0</td><td class=\"keep\">0</td>"}},
        {"staged",
         {published(u"1.08"), 30, "", published(u"1.07")},
         {row("发布状态", "分阶段发布：30% 的网络收到 1.08，其余的收到 1.07"),
          row("最新版本", "<strong>1.08</strong>（分阶段：30% 的网络）"),
          row("今天（到目前为止）", "<strong>20%</strong>（10 次中 2 次）"),
          "<td>1.08（30% 的网络）</td><td class=\"keep\">0</td>",
          "<td>1.07（其余网络）</td><td class=\"keep\">3</td>"}},
        {"halted",
         {published(u"1.08"), 0, "", published(u"1.07")},
         {row("发布状态", "<strong>已暂停</strong> 1.08（0%）：所有网络都收到 1.07"),
          row("最新版本", "<strong>1.07</strong>"),
          row("今天（到目前为止）", "<strong>60%</strong>（10 次中 6 次）"),
          "<td>1.08（已暂停）</td><td class=\"keep\">0</td><td class=\"keep\">0</td>",
          "<td>1.07（所有网络）</td><td class=\"keep\">3</td>"}},
        {"halted with nothing before it",
         {published(u"1.08"), 0},
         {row("发布状态", "<strong>已暂停</strong> 1.08（0%）：所有网络都不提示更新"),
          row("最新版本", "—"),
          "<td>1.08（已暂停）</td><td class=\"keep\">0</td><td class=\"keep\">0</td>"}},
        {"nothing published", {}, {"<h2>最新版本的用户比例</h2>\n<p>现在没有发布的版本。</p>"}},
    };
    for (const auto& c : cases) {
        const std::string page =
            usePage({{}, field, {{Platform::Windows, c.windows}, {Platform::Linux, {}}}, today});
        for (const std::string& said : c.says)
            EXPECT_NE(page.find(said), std::string::npos) << c.what << ": " << said << page;
    }
}

// Files served here: the lookup page's download line for each platform
// under the prefix, with its size and SHA-256; the release history's row
// names the file too.
TEST(PublicPages, ServedFileHasItsDownloadLineAndHistoryRow) {
    const ReleaseFile file{Platform::Windows, "Pelvoran.exe", std::string(64, 'a'), 1048576};
    const ReleaseFile deb{Platform::Linux, "pelvoran_1.07_amd64.deb", std::string(64, 'b'), 500000};
    const std::string page =
        lookupPage({"/p/", std::nullopt, "", "", {{file, "1.06"}, {deb, "1.07"}}}).body;
    const auto windowsLine =
        page.find("<a href=\"/p/download/windows/1.06/Pelvoran.exe\">下载 Pelvoran "
                  "1.06（Windows，1.0 MB）</a>");
    const auto linuxLine =
        page.find("<a href=\"/p/download/linux/1.07/pelvoran_1.07_amd64.deb\">下载 Pelvoran "
                  "1.07（Linux，500 KB）</a>");
    EXPECT_NE(windowsLine, std::string::npos) << page;
    EXPECT_NE(linuxLine, std::string::npos) << page;
    EXPECT_LT(windowsLine, linuxLine);
    EXPECT_NE(page.find(file.sha256), std::string::npos);
    EXPECT_NE(page.find(deb.sha256), std::string::npos);
    EXPECT_EQ(lookupPage({"/p/"}).body.find(page_text::kDownload), std::string::npos);

    ReleaseRows history;
    history.total = 1;
    history.changes.push_back({1, std::chrono::sys_seconds(1700000000s), true,
                               Release{u"1.06", u"https://x.cn/a", u"d", u"n"}, "命令行",
                               Platform::Windows, file});
    const std::string rows = releaseHistorySection(history, std::nullopt, "t");
    EXPECT_NE(rows.find("Pelvoran.exe，1.0 MB"), std::string::npos) << rows;
    EXPECT_NE(rows.find(file.sha256), std::string::npos) << rows;
}
