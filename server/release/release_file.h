#pragma once

#include "server/release/agent.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server {

/// A file the server hands out itself, as a publish of the history names it.
struct ReleaseFile {
    Platform platform = Platform::Windows;
    std::string name; // as the browser saves it: [A-Za-z0-9._+-]{1,100}
    std::string sha256;
    std::int64_t size = 0;

    bool operator==(const ReleaseFile&) const = default;
};

/// Whether `name` may be a served file's name: 1 to 100 of A-Z a-z 0-9 . _ -
/// + (a Debian package's version holds a "+"), not beginning with "." (no
/// ".", "..", or hidden file).
bool isDownloadName(std::string_view name);

/// The path under the public prefix where a file is served:
/// "download/<platform>/<version>/<name>" (no leading slash).
std::string downloadPath(Platform platform, std::string_view version, std::string_view name);

/// Why `base` cannot be the address served files are published under, in
/// Chinese; nullopt when it can. It must be http:// or https:// (https://
/// when the releases are signed, as their addresses must be) with a host,
/// and carry no user information, query or fragment.
std::optional<std::string> downloadBaseProblem(std::string_view base, bool signedReleases);

/// The published address of a served file: the base, a "/", its path.
std::string downloadAddress(std::string_view base, Platform platform, std::string_view version,
                            std::string_view name);

/// A size as people read it: "312 字节", "700 KB", "1.5 MB" (10^3 and 10^6
/// bytes; whole kilobytes, one decimal above).
std::string sizeText(std::int64_t bytes);

} // namespace pelvoran::server
