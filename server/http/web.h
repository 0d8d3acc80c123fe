#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
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
    std::string range;                        // the Range header
    std::string ifRange;                      // the If-Range header
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
    /// The file of a multipart form, on the one route that takes one: open
    /// on `fd` (a temporary file with no name, the listener's), `size` bytes.
    struct Upload {
        int fd = -1;
        std::string name; // as the browser gave it
        std::uint64_t size = 0;
        std::uint64_t limit = 0; // serve --max-download-size
    };
    std::optional<Upload> upload;
};

/// Bytes of a file on disk, sent from the file rather than from memory.
struct FilePart {
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct WebResponse {
    unsigned status = 200;
    std::string type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    /// Sent instead of the body when given.
    std::optional<FilePart> file = std::nullopt;
    /// Called once the whole answer went out (never for one cut short).
    std::function<void()> completed = {};
};

/// A plain text answer, in UTF-8.
WebResponse textResponse(unsigned status, std::string body);

/// The largest body taken: a comment, a form.
inline constexpr std::size_t kMaxBody = 1024 * 1024;

/// kMaxBody as people read it ("1 MiB"), for every message that names it.
std::string maxBodyText();

/// A form body as browsers encode it (application/x-www-form-urlencoded):
/// "+" is a blank, %XX a byte; values are UTF-8, invalid bytes U+FFFD. A
/// name given twice keeps its first value.
std::map<std::string, std::string> parseForm(std::string_view body);

/// The value of `key` in a form or query; empty when absent.
std::string value(const std::map<std::string, std::string>& m, const std::string& key);

} // namespace pelvoran::server
