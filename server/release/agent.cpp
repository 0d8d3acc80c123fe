#include "server/release/agent.h"

namespace pelvoran::server {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::string_view platformName(Platform platform) {
    return platform == Platform::Linux ? "linux" : "windows";
}

std::string_view platformLabel(Platform platform) {
    return platform == Platform::Linux ? "Linux" : "Windows";
}

std::optional<Platform> parsePlatform(std::string_view name) {
    if (name == "windows")
        return Platform::Windows;
    if (name == "linux")
        return Platform::Linux;
    return std::nullopt;
}

Agent parseAgent(std::string_view agent) {
    constexpr std::string_view kProduct = "Pelvoran/";
    if (!agent.starts_with(kProduct))
        return {};
    agent.remove_prefix(kProduct.size());
    // d.dd
    if (agent.size() < 4 || !isDigit(agent[0]) || agent[1] != '.' || !isDigit(agent[2]) ||
        !isDigit(agent[3]))
        return {};
    const std::string version(agent.substr(0, 4));
    agent.remove_prefix(4);
    for (const Platform p : {Platform::Windows, Platform::Linux}) {
        const std::string expected = " (" + std::string(platformLabel(p)) + ")";
        if (agent == expected)
            return {version, p};
    }
    return {};
}

std::optional<std::int64_t> versionNumber(std::string_view version) {
    const auto point = version.find('.');
    if (point == std::string_view::npos || point == 0 || point > 4 || version.size() != point + 3 ||
        (point > 1 && version[0] == '0'))
        return std::nullopt;
    std::int64_t n = 0;
    for (std::size_t i = 0; i < version.size(); ++i) {
        if (i == point)
            continue;
        if (!isDigit(version[i]))
            return std::nullopt;
        n = n * 10 + (version[i] - '0');
    }
    return n;
}

bool offersNewer(const Agent& agent, std::string_view version) {
    const auto offered = versionNumber(version);
    if (!offered)
        return false;
    const auto own = versionNumber(agent.version);
    return !own || *own < *offered;
}

} // namespace pelvoran::server
