#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelvoran::server {

/// The two desktop tools; each has its own release.
enum class Platform { Windows, Linux };

/// How the command line and the paths name a platform: "windows", "linux".
std::string_view platformName(Platform platform);
/// How the pages and the tools' agent name it: "Windows", "Linux".
std::string_view platformLabel(Platform platform);
/// The platform named "windows" or "linux" (as platformName writes it).
std::optional<Platform> parsePlatform(std::string_view name);

/// Who sent an update check or a comment, by its User-Agent.
struct Agent {
    /// The tool's version, "d.dd" (e.g. "1.06"); empty when the agent is not
    /// a Pelvoran tool's: a 1.05 or older tool, or anything else.
    std::string version;
    /// The tool's platform; nullopt with an empty version.
    std::optional<Platform> platform;

    bool known() const { return !version.empty(); }
    bool operator==(const Agent&) const = default;
};

/// Reads exactly "Pelvoran/d.dd (Windows)" or "Pelvoran/d.dd (Linux)";
/// anything else (absent, malformed, longer) is an unknown agent. A
/// stranger's text: nothing of it is kept but what matched.
Agent parseAgent(std::string_view userAgent);

} // namespace pelvoran::server
