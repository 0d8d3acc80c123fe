#pragma once

#include "platform/version.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::test {

/// The User-Agent line the tool built for `platform` must send, its version
/// written from CURRENT_VERSION by the standard library's locale-free
/// conversion rather than the tool's own.
inline std::string expectedAgentLine(std::string_view platform) {
    char version[32];
    const auto end = std::to_chars(version, version + sizeof version, CURRENT_VERSION,
                                   std::chars_format::fixed, 2)
                         .ptr;
    return "User-Agent: Pelvoran/" + std::string(version, end) + " (" + std::string(platform) + ")";
}

/// Takes the User-Agent lines, whatever the case of the name, out of a
/// request's head and gives them as they came. Where among the headers the
/// line goes is the HTTP library's choice (WinHTTP puts it last).
inline std::vector<std::string> takeAgentLines(std::string& head) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < head.size();) {
        const std::size_t end = std::min(head.find("\r\n", at), head.size());
        const std::string line = head.substr(at, end - at);
        std::string name = line.substr(0, line.find(':'));
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name != "user-agent") {
            at = end + 2;
            continue;
        }
        lines.push_back(line);
        head.erase(at, end + 2 - at);
    }
    return lines;
}

} // namespace pelvoran::test
