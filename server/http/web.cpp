#include "server/http/web.h"

#include "platform/hex.h"
#include "platform/text.h"

#include <ctime>

namespace pelvoran::server {
namespace {

std::string unescapeForm(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (const int byte = percentEscapedByte(s, i); byte >= 0) {
            out += static_cast<char>(byte);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return toUtf8(fromUtf8Lenient(out));
}

} // namespace

WebResponse textResponse(unsigned status, std::string body) {
    return {status, "text/plain; charset=utf-8", std::move(body), {}};
}

std::string maxBodyText() {
    return std::to_string(kMaxBody / (1024 * 1024)) + " MiB";
}

std::map<std::string, std::string> parseForm(std::string_view body) {
    std::map<std::string, std::string> fields;
    while (!body.empty()) {
        const auto amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        if (pair.empty())
            continue;
        const auto eq = pair.find('=');
        fields.emplace(unescapeForm(pair.substr(0, eq)),
                       eq == std::string_view::npos ? "" : unescapeForm(pair.substr(eq + 1)));
    }
    return fields;
}

std::string value(const std::map<std::string, std::string>& m, const std::string& key) {
    const auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

} // namespace pelvoran::server
