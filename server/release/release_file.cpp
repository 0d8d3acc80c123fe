#include "server/release/release_file.h"

#include "server/release/release_texts.h"

#include <algorithm>
#include <cstdio>

namespace pelvoran::server {

bool isDownloadName(std::string_view name) {
    constexpr std::size_t kMaxName = 100;
    if (name.empty() || name.size() > kMaxName || name.front() == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-' || c == '+';
    });
}

std::string downloadPath(Platform platform, std::string_view version, std::string_view name) {
    return "download/" + std::string(platformName(platform)) + "/" + std::string(version) + "/" +
           std::string(name);
}

std::optional<std::string> downloadBaseProblem(std::string_view base, bool signedReleases) {
    const bool https = base.starts_with("https://");
    if (!https && !base.starts_with("http://"))
        return release_text::kBaseNotWeb;
    if (signedReleases && !https)
        return release_text::kBaseNotHttps;
    const std::string_view rest = base.substr(base.find("://") + 3);
    const std::string_view authority = rest.substr(0, rest.find('/'));
    if (authority.empty())
        return release_text::kBaseNoHost;
    if (authority.find('@') != std::string_view::npos)
        return release_text::kBaseUserBeforeHost;
    if (base.find_first_of("?#") != std::string_view::npos)
        return release_text::kBaseQueryOrFragment;
    if (std::any_of(base.begin(), base.end(), [](char c) {
            return static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F;
        }))
        return release_text::kBaseNotAscii;
    return std::nullopt;
}

std::string downloadAddress(std::string_view base, Platform platform, std::string_view version,
                            std::string_view name) {
    std::string address(base);
    if (!address.ends_with('/'))
        address += '/';
    return address + downloadPath(platform, version, name);
}

std::string sizeText(std::int64_t bytes) {
    if (bytes < 1000)
        return std::to_string(bytes) + release_text::kBytes;
    // Whole kilobytes; megabytes and gigabytes with one decimal, so that no
    // size shows more figures than another ("700 KB" beside "1.5 MB"). A
    // size that rounds up to the next unit is written in it.
    if (const std::int64_t kb = (bytes + 500) / 1000; kb < 1000)
        return std::to_string(kb) + " KB";
    const char* unit = "MB";
    double value = static_cast<double>(bytes) / 1e6;
    if (value >= 999.95) {
        unit = "GB";
        value = static_cast<double>(bytes) / 1e9;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

} // namespace pelvoran::server
