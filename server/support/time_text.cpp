#include "server/support/time_text.h"

#include <ctime>

namespace pelvoran::server {
namespace {

std::string formatTime(std::chrono::sys_seconds time, bool utc, const char* pattern) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    if ((utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm)) == nullptr)
        return "?";
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
    return std::string(buf, n);
}

} // namespace

std::string isoUtc(std::chrono::sys_seconds time) {
    return formatTime(time, true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string localTimeText(std::chrono::sys_seconds time) {
    return formatTime(time, false, "%Y-%m-%d %H:%M:%S");
}

std::chrono::local_days localDay(std::chrono::sys_seconds time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    localtime_r(&t, &tm);
    const std::chrono::local_seconds local(time.time_since_epoch() +
                                           std::chrono::seconds(tm.tm_gmtoff));
    return std::chrono::floor<std::chrono::days>(local);
}

} // namespace pelvoran::server
