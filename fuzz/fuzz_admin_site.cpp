// The publisher's pages with a valid session, on a real SQLite database in a
// temporary state directory: any request line, headers and body reach the
// router, and every answer keeps to the site's rules:
// - a status the pages use, and no database failure caused by a request;
// - no header value with a line break;
// - a redirect only to a page of this site;
// - no POST gets through without the session's CSRF token from this site's
//   origin;
// - no page carries markup that came with the request.
//
// Input: one byte of switches, then lines: method, path with query, Origin,
// Host, a Cookie of its own; the rest is the body.
#include "server/admin/admin_session.h"
#include "server/admin/admin_site.h"
#include "server/admin/metrics.h"
#include "server/http/routes.h"
#include "server/http/web.h"
#include "server/store/field_counter.h"
#include "server/store/store.h"
#include "server/support/state_files.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace pelvoran;
using namespace pelvoran::server;

namespace {

enum Switch : std::uint8_t {
    kSessionCookie = 1, // the session's cookie, before any cookie of the input's
    kRightCsrf = 2,     // the session's CSRF token first in the body
    kOwnOrigin = 4,     // Origin: this site's own, whatever the input says
    kHttps = 8,         // the request came through an HTTPS proxy
    kWithCode = 16,     // a new sign-in code in the query
    kWrongCsrf = 32,    // a CSRF token of the right length, but not the session's
};

/// Stops the run on a broken rule, saying which.
[[noreturn]] void broken(const char* rule, const WebResponse& answer) {
    std::fprintf(stderr, "broken rule: %s (status %u)\n", rule, answer.status);
    std::abort();
}

std::string header(const WebResponse& r, std::string_view name) {
    for (const auto& [k, v] : r.headers)
        if (k == name)
            return v;
    return "";
}

struct Site {
    std::string state;
    FieldCounter field;
    Metrics metrics;
    std::unique_ptr<AdminSite> admin;
    std::string cookie;
    std::string csrf;

    Site() {
        state = (std::filesystem::temp_directory_path() / "pelvoran-fuzz-XXXXXX").string();
        if (::mkdtemp(state.data()) == nullptr)
            std::abort();
        {
            Database db((std::filesystem::path(state) / kDatabaseFile).string());
            std::vector<NewComment> comments;
            for (int i = 0; i < 60; ++i)
                comments.push_back(
                    {u"<script>留言</script> \"'&", "", i % 2 ? kFromWeb : kFromDesktop,
                     std::chrono::sys_seconds(std::chrono::seconds(1700000000 + i)), i % 7 == 0});
            db.comments().insert(comments);
        }
        admin = std::make_unique<AdminSite>(state, field, metrics,
                                            "pelvoran-server admin-url --state " + state);
        field.check(std::chrono::local_days(std::chrono::days(19000)), Agent{}, "");
        WebRequest login;
        login.method = "GET";
        login.path = "/comments";
        login.query[kSignInField] = AdminSessions(databasePath(state)).mint();
        const std::string set = header(
            admin->handle(login, findRoute(true, login.method, login.path).route), "Set-Cookie");
        cookie = set.substr(0, set.find(';'));
        WebRequest form;
        form.method = "GET";
        form.path = "/release";
        form.cookie = cookie;
        const std::string page =
            admin->handle(form, findRoute(true, form.method, form.path).route).body;
        const std::string mark = "name=\"csrf\" value=\"";
        const auto at = page.find(mark);
        if (cookie.empty() || at == std::string::npos)
            std::abort();
        csrf = page.substr(at + mark.size(), 64);
    }
    ~Site() {
        admin.reset();
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }
};

/// The next line of the input, taken off it.
std::string line(std::string_view& rest) {
    const auto end = rest.find('\n');
    const std::string out(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return out;
}

bool onThisSite(std::string_view location) {
    static constexpr std::string_view kPages[] = {
        "/",        "/comments", "/comments.csv", "/comments.jsonl", "/comments/delete", "/audit",
        "/release", "/use",      "/comment",      "/notify",         "/notify/remove"};
    const std::string_view path = location.substr(0, location.find('?'));
    return std::find(std::begin(kPages), std::end(kPages), path) != std::end(kPages) &&
           location.find_first_of("\\\r\n\t ") == std::string_view::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Site site;
    if (size == 0)
        return 0;
    const std::uint8_t switches = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

    WebRequest r;
    r.method = line(rest);
    const std::string target = line(rest);
    const auto question = target.find('?');
    r.path = target.substr(0, question);
    if (question != std::string::npos)
        r.query = parseForm(std::string_view(target).substr(question + 1));
    r.origin = line(rest);
    r.host = line(rest);
    const std::string cookie = line(rest);
    r.body = std::string(rest);
    r.scheme = switches & kHttps ? "https" : "http";
    if (switches & kOwnOrigin)
        r.origin = r.scheme + "://" + r.host;
    r.cookie =
        switches & kSessionCookie ? site.cookie + (cookie.empty() ? "" : "; " + cookie) : cookie;
    if (switches & kWithCode)
        r.query[kSignInField] = AdminSessions(databasePath(site.state)).mint();
    if (switches & kRightCsrf)
        r.body = "csrf=" + site.csrf + "&" + r.body;
    else if (switches & kWrongCsrf)
        r.body = "csrf=" + std::string(64, '0') + "&" + r.body;

    const Route route = findRoute(true, r.method, r.path).route;
    // A test notification goes out to whatever address a recipient has:
    // never from a fuzzer.
    if (route == Route::AdminNotify && value(parseForm(r.body), "action") == "test")
        return 0;
    const WebResponse answer = site.admin->handle(r, route);

    static constexpr unsigned kStatuses[] = {200, 303, 400, 401, 403, 404};
    if (std::find(std::begin(kStatuses), std::end(kStatuses), answer.status) == std::end(kStatuses))
        broken("a status the pages use", answer);
    for (const auto& [name, value] : answer.headers)
        if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            broken("no line break in a header", answer);
    if (answer.status == 303 && !onThisSite(header(answer, "Location")))
        broken("a redirect only to a page of this site", answer);
    const bool foreignOrigin = !r.origin.empty() && r.origin != r.scheme + "://" + r.host;
    const bool signIn = r.query.contains(kSignInField) || r.query.contains(kOldTokenField);
    if (r.method == "POST" && !signIn && r.path != "/style.css" &&
        (!(switches & kRightCsrf) || foreignOrigin) && answer.status != 401 && answer.status != 403)
        broken("no POST without the CSRF token from this site's origin", answer);
    if (answer.type.starts_with("text/html") && answer.body.find("<script") != std::string::npos)
        broken("no markup from the request in a page", answer);
    return 0;
}
