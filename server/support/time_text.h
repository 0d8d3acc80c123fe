#pragma once

// Times as the publisher and the files read them.

#include <cstdint>
#include <string>

namespace pelvoran::server {

/// "2026-12-07T14:03:09Z".
std::string isoUtc(std::int64_t seconds);

/// "2026-12-07 22:03:09" in the server's local time.
std::string localTimeText(std::int64_t seconds);

/// A local day number: days since 1970 in the server's local time.
std::int64_t localDay(std::int64_t seconds);

} // namespace pelvoran::server
