#pragma once

#include "server/store.h"

#include <cstdint>
#include <string>

namespace pelvoran::server {

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
/// "-" or "@" gets a leading apostrophe, so that no spreadsheet runs it.
std::string csvRecord(const StoredComment& c);

} // namespace pelvoran::server
