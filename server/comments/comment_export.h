#pragma once

#include "server/store/store.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

/// One JSON object on a line: id, received (UTC, ISO 8601), text (UTF-8,
/// exactly as decoded), source, flagged (the web form's bot field was filled)
/// and read, these two as true or false, and held (why it is held as likely
/// spam, a word of comment_hold.h, or "" when it is not).
std::string jsonLine(const StoredComment& c);

/// A webhook's body: one JSON object (no line break) with the names and
/// escaping of jsonLine: id, received, text, source, flagged, and url (the
/// comment on the admin pages).
std::string notificationJson(const StoredComment& c, const std::string& url);

/// One RFC 4180 record, ending in CR LF: the fields of jsonLine, in its
/// order. A cell that begins with "=", "+",
/// "-", "@", TAB or CR gets a leading apostrophe, so that no spreadsheet runs
/// it.
std::string csvRecord(const StoredComment& c);

/// Where a comment came from, as the publisher reads it: kFromWebName or
/// kFromDesktopName of comments_texts.h.
const char* sourceName(const std::string& source);

enum class ExportFormat { JsonLines, Csv };

/// A whole export: JSON Lines, or CSV with a UTF-8 byte order mark and a
/// header line, so that spreadsheets read the Chinese text.
std::string commentExport(const std::vector<StoredComment>& comments, ExportFormat format);

} // namespace pelvoran::server
