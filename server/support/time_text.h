#pragma once

// Times as the publisher and the files read them.

#include <chrono>
#include <string>

namespace pelvoran::server {

/// "2026-12-07T14:03:09Z".
std::string isoUtc(std::chrono::sys_seconds time);

/// "2026-12-07 22:03:09" in the server's local time.
std::string localTimeText(std::chrono::sys_seconds time);

/// The day of `time` in the server's local time (days since 1970 there).
std::chrono::local_days localDay(std::chrono::sys_seconds time);

} // namespace pelvoran::server
