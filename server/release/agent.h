#pragma once

#include <cstdint>
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

/// The versions in the field are counted under "d.dd" or one of these (the
/// store writes them, the use page tells them apart). The checks that carry
/// no Pelvoran agent: 1.05 and older tools sent none (the Linux 1.05
/// package among them).
inline constexpr char kEarlyLabel[] = "1.05 或更早";
/// Every version that gets none of its own.
inline constexpr char kOtherLabel[] = "其他";

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

/// A version's place for comparison: "1.06" is 106; nullopt when it is not
/// a version as releases are written (digits, a point, two decimals).
std::optional<std::int64_t> versionNumber(std::string_view version);

/// Whether a reply carrying `version` offers the tool of `agent` a newer
/// version than its own, as the tool compares them: always for a tool that
/// sent no version of its own (one published before tools sent agents,
/// below every release); never when `version` is not written as releases
/// are (none is published).
bool offersNewer(const Agent& agent, std::string_view version);

} // namespace pelvoran::server
