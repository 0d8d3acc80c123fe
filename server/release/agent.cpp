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

} // namespace pelvoran::server
