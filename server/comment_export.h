#pragma once

#include "server/store.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

/// A comment's text for a terminal, in UTF-8, ending in a line break: every
/// line indented by four blanks, so that none can pass for the head of an
/// entry; C0 controls but LF, DEL, C1 controls and the bidirectional controls
/// written out as "\x1b" (below U+0100) or "\u202e", so that nothing acts on
/// the terminal or reorders what it shows.
std::string terminalText(TextView text);

/// Stored text on one line of a terminal, in UTF-8: line breaks as blanks,
/// whatever would act on the terminal or reorder it written out as
/// terminalText writes it. Every command that prints stored text (an address,
/// a user, an error, an action) prints it through this.
std::string terminalCell(std::string_view utf8);

/// "2026-12-07T14:03:09Z".
std::string isoUtc(std::int64_t seconds);

/// "2026-12-07 22:03:09" in the server's local time.
std::string localTimeText(std::int64_t seconds);

/// One JSON object on a line: id, received (UTC, ISO 8601), text (UTF-8,
/// exactly as decoded), source, flagged (the web form's bot field was filled)
/// and read, the last two as true or false.
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

/// Where a comment came from, as the publisher reads it: "网页" or "桌面工具".
const char* sourceName(const std::string& source);

enum class ExportFormat { JsonLines, Csv };

/// A whole export: JSON Lines, or CSV with a UTF-8 byte order mark and a
/// header line, so that spreadsheets read the Chinese text.
std::string commentExport(const std::vector<StoredComment>& comments, ExportFormat format);

} // namespace pelvoran::server
