#include "server/comment_export.h"

#include "platform/hex.h"

#include <ctime>
#include <initializer_list>
#include <string_view>

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
    std::string out = "\"";
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u";
            appendHex(out, c, 4, HexCase::Lower);
        } else {
            out += ch;
        }
    }
    return out + '"';
}

std::string csvCell(std::string cell) {
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell[0]) != std::string_view::npos)
        cell.insert(cell.begin(), '\'');
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

/// What a terminal would act on or reorder, rather than show.
bool actsOnTerminal(char16_t c) {
    return (c < 0x20 && c != u'\n') || (c >= 0x7F && c <= 0x9F) || c == u'\u061C' ||
           c == u'\u200E' || c == u'\u200F' || c == u'\u2028' || c == u'\u2029' ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string terminalText(TextView text) {
    constexpr char kIndent[] = "    ";
    std::string out = kIndent;
    std::size_t plain = 0; // start of the run not yet written
    const auto flush = [&](std::size_t end) { out += toUtf8(text.substr(plain, end - plain)); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\n') {
            flush(i);
            out += '\n';
            out += kIndent;
        } else if (actsOnTerminal(c)) {
            flush(i);
            out += c < 0x100 ? "\\x" : "\\u";
            appendHex(out, c, c < 0x100 ? 2 : 4, HexCase::Lower);
        } else {
            continue;
        }
        plain = i + 1;
    }
    flush(text.size());
    return out + '\n';
}

std::string terminalCell(std::string_view utf8) {
    std::string shown = terminalText(fromUtf8Lenient(utf8));
    shown = shown.substr(4, shown.size() - 5); // no indent, no final line break
    for (std::size_t at = 0; (at = shown.find("\n    ", at)) != std::string::npos;)
        shown.replace(at, 5, " ");
    return shown;
}

std::string isoUtc(std::int64_t seconds) {
    return formatTime(seconds, true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string localTimeText(std::int64_t seconds) {
    return formatTime(seconds, false, "%Y-%m-%d %H:%M:%S");
}

namespace {

/// The names and values both JSON forms share, without the braces.
std::string jsonFields(const StoredComment& c) {
    return "\"id\":" + std::to_string(c.id) + ",\"received\":" + jsonString(isoUtc(c.received)) +
           ",\"text\":" + jsonString(toUtf8(c.text)) + ",\"source\":" + jsonString(c.source) +
           ",\"flagged\":" + (c.flagged ? "true" : "false");
}

} // namespace

std::string jsonLine(const StoredComment& c) {
    return "{" + jsonFields(c) + ",\"read\":" + (c.read ? "true" : "false") + "}\n";
}

std::string notificationJson(const StoredComment& c, const std::string& url) {
    return "{" + jsonFields(c) + ",\"url\":" + jsonString(url) + "}";
}

std::string csvRecord(const StoredComment& c) {
    std::string out;
    for (const std::string& cell :
         {std::to_string(c.id), isoUtc(c.received), toUtf8(c.text), c.source,
          std::string(c.flagged ? "true" : "false"), std::string(c.read ? "true" : "false")}) {
        if (!out.empty())
            out += ',';
        out += csvCell(cell);
    }
    return out + "\r\n";
}

const char* sourceName(const std::string& source) {
    return source == kFromWeb ? "网页" : "桌面工具";
}

std::string commentExport(const std::vector<StoredComment>& comments, ExportFormat format) {
    std::string out =
        format == ExportFormat::Csv ? "\xEF\xBB\xBFid,received,text,source,flagged,read\r\n" : "";
    for (const auto& c : comments)
        out += format == ExportFormat::Csv ? csvRecord(c) : jsonLine(c);
    return out;
}

} // namespace pelvoran::server
