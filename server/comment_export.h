#pragma once

#include "server/store.h"

#include <cstdint>
#include <string>

namespace pelvoran::server {

/// A comment's text for a terminal, in UTF-8, ending in a line break: every
/// line indented by four blanks, so that none can pass for the head of an
/// entry; C0 controls but LF, DEL, C1 controls and the bidirectional controls
/// written out as "\x1b" (below U+0100) or "\u202e", so that nothing acts on
/// the terminal or reorders what it shows.
std::string terminalText(TextView text);

/// "2026-12-07T14:03:09Z".
std::string isoUtc(std::int64_t seconds);

/// "2026-12-07 22:03:09" in the server's local time.
std::string localTimeText(std::int64_t seconds);

/// One JSON object on a line: id, received (UTC, ISO 8601), text (UTF-8,
/// exactly as decoded) and source.
std::string jsonLine(const StoredComment& c);

/// The header of the CSV export, after the UTF-8 byte order mark.
std::string csvHeader();

/// One RFC 4180 record, ending in CR LF. A cell that begins with "=", "+",
/// "-", "@", TAB or CR gets a leading apostrophe, so that no spreadsheet runs
/// it.
std::string csvRecord(const StoredComment& c);

} // namespace pelvoran::server
