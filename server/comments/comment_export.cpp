#include "server/comments/comment_export.h"
#include "server/comments/comments_texts.h"
#include "server/support/time_text.h"

#include "platform/hex.h"

#include <ctime>
#include <initializer_list>
#include <string_view>

namespace pelvoran::server {
namespace {

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

} // namespace

namespace {

/// The names and values both JSON forms share, without the braces.
std::string jsonFields(const StoredComment& c) {
    return "\"id\":" + std::to_string(c.id) + ",\"received\":" + jsonString(isoUtc(c.received)) +
           ",\"text\":" + jsonString(toUtf8(c.text)) + ",\"source\":" + jsonString(c.source) +
           ",\"flagged\":" + (c.flagged ? "true" : "false");
}

} // namespace

std::string jsonLine(const StoredComment& c) {
    return "{" + jsonFields(c) + ",\"read\":" + (c.read ? "true" : "false") +
           ",\"held\":" + jsonString(c.held) + "}\n";
}

std::string notificationJson(const StoredComment& c, const std::string& url) {
    return "{" + jsonFields(c) + ",\"url\":" + jsonString(url) + "}";
}

std::string csvRecord(const StoredComment& c) {
    std::string out;
    for (const std::string& cell : {std::to_string(c.id), isoUtc(c.received), toUtf8(c.text),
                                    c.source, std::string(c.flagged ? "true" : "false"),
                                    std::string(c.read ? "true" : "false"), c.held}) {
        if (!out.empty())
            out += ',';
        out += csvCell(cell);
    }
    return out + "\r\n";
}

const char* sourceName(const std::string& source) {
    return source == kFromWeb ? comments_text::kFromWebName : comments_text::kFromDesktopName;
}

std::string commentExport(const std::vector<StoredComment>& comments, ExportFormat format) {
    std::string out = format == ExportFormat::Csv
                          ? "\xEF\xBB\xBFid,received,text,source,flagged,read,held\r\n"
                          : "";
    for (const auto& c : comments)
        out += format == ExportFormat::Csv ? csvRecord(c) : jsonLine(c);
    return out;
}

} // namespace pelvoran::server
