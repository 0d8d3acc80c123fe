#include "server/support/time_text.h"

#include <ctime>

namespace pelvoran::server {
namespace {

std::string formatTime(std::int64_t seconds, bool utc, const char* pattern) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if ((utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm)) == nullptr)
        return "?";
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
    return std::string(buf, n);
}

} // namespace

std::string isoUtc(std::int64_t seconds) {
    return formatTime(seconds, true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string localTimeText(std::int64_t seconds) {
    return formatTime(seconds, false, "%Y-%m-%d %H:%M:%S");
}

std::int64_t localDay(std::int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    return (seconds + tm.tm_gmtoff) / 86400;
}

} // namespace pelvoran::server
