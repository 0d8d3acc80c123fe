#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelvoran::server {

/// A request to the pages, as the HTTP layer hands it over.
struct WebRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> query; // decoded, UTF-8 as sent
    std::string cookie;                       // the Cookie header
    std::string origin;                       // the Origin header, empty when absent
    std::string host;                         // the Host header
    std::string authorization;                // the Authorization header
    /// The client's address on the admin listener (behind the trusted proxy,
    /// the one it names), for the audit log's logins; empty elsewhere.
    std::string client;
    /// How the browser reached us: "https" when a proxy we trust says it
    /// took the request over HTTPS (X-Forwarded-Proto), else "http".
    std::string scheme = "http";
    /// Where the site's own pages are, as the browser sees them: "/" or a
    /// prefix such as "/pelvoran/"; links are built from it.
    std::string root = "/";
    std::string body;
};

struct WebResponse {
    unsigned status = 200;
    std::string type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

/// Text for HTML, in element content and in quoted attributes alike:
/// & < > " ' escaped. Every text a page shows goes through here.
std::string escapeHtml(std::string_view utf8);

/// A form body as browsers encode it (application/x-www-form-urlencoded):
/// "+" is a blank, %XX a byte; values are UTF-8, invalid bytes U+FFFD. A
/// name given twice keeps its first value.
std::map<std::string, std::string> parseForm(std::string_view body);

/// The value of `key` in a form or query; empty when absent.
std::string value(const std::map<std::string, std::string>& m, const std::string& key);

/// A whole page: the document around `main`, in Chinese, with the one style
/// sheet (under `root`) and, when given, a navigation bar (already HTML).
std::string htmlPage(std::string_view title, std::string_view main, std::string_view nav = "",
                     std::string_view root = "/");

/// The style sheet of every page.
WebResponse styleSheet();

/// The headers every page carries: no script but our own, no framing.
void addPageHeaders(WebResponse& r);

/// A local day number: days since 1970 in the server's local time.
std::int64_t localDay(std::int64_t seconds);

} // namespace pelvoran::server
