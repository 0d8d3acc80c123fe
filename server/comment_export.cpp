#include "server/comment_export.h"

#include <ctime>
#include <initializer_list>

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

std::string jsonString(const std::string& utf8) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += ch;
        }
    }
    return out + '"';
}

std::string csvCell(std::string cell) {
    if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@'))
        cell.insert(0, "'");
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string out = "\"";
    for (const char c : cell) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

} // namespace

std::string isoUtc(std::int64_t seconds) {
    return formatTime(seconds, true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string localTimeText(std::int64_t seconds) {
    return formatTime(seconds, false, "%Y-%m-%d %H:%M:%S");
}

std::string jsonLine(const StoredComment& c) {
    return "{\"id\":" + std::to_string(c.id) + ",\"received\":" + jsonString(isoUtc(c.received)) +
           ",\"text\":" + jsonString(toUtf8(c.text)) + ",\"source\":" + jsonString(c.source) +
           "}\n";
}

std::string csvHeader() {
    return "id,received,text,source\r\n";
}

std::string csvRecord(const StoredComment& c) {
    std::string out;
    for (const std::string& cell :
         {std::to_string(c.id), isoUtc(c.received), toUtf8(c.text), c.source}) {
        if (!out.empty())
            out += ',';
        out += csvCell(cell);
    }
    return out + "\r\n";
}

} // namespace pelvoran::server
