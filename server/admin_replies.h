#pragma once

// What the admin pages' controllers share: reading a form, and the replies
// every page gives.

#include "server/web.h"

#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server::admin_reply {

inline std::string value(const std::map<std::string, std::string>& m, const std::string& key) {
    const auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

/// A decimal number as a form or an address carries it: digits, a leading
/// minus at most, nothing around them, within 64 bits.
inline std::optional<std::int64_t> wholeNumber(std::string_view s) {
    std::int64_t n = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || error != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return n;
}

inline WebResponse page(unsigned status, std::string html) {
    WebResponse r;
    r.status = status;
    r.body = std::move(html);
    addPageHeaders(r);
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

inline WebResponse redirect(const std::string& to) {
    WebResponse r;
    r.status = 303;
    r.headers.emplace_back("Location", to);
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

} // namespace pelvoran::server::admin_reply
