#pragma once

#include "server/admin_pages.h"
#include "server/store.h"
#include "server/web.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server {

// What the admin pages' handlers share: reading forms, and the answers they
// give.

/// The value of `key` in a form or query; empty when absent.
std::string value(const std::map<std::string, std::string>& m, const std::string& key);

/// A decimal number as a form or an address carries it: digits, a leading
/// minus at most, nothing around them, within 64 bits.
std::optional<std::int64_t> wholeNumber(std::string_view s);

/// The page of a list asked for, 1 or more: a number too large for 64 bits
/// asks for the end, anything that is no number for the start.
std::int64_t pageAsked(std::string_view s);

/// A page, never cached.
WebResponse page(unsigned status, std::string html);
/// A 303 to `to`, a path of this site.
WebResponse redirect(const std::string& to);

/// The release page for `view`, with the release history of `db`.
WebResponse releaseReply(Database& db, unsigned status, ReleaseView& view);

/// Publishes the draft of `view` from the pages, through the release form's
/// checks: its fields' errors (400) or the page saying it is live, with the
/// rollback notice when it is one. `action` and `detail` are the audit
/// log's.
WebResponse publishFromPages(Database& db, ReleaseView& view, const std::string& action,
                             const std::string& detail = "");

} // namespace pelvoran::server
