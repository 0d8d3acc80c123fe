#include "server/support/terminal_text.h"

#include "platform/hex.h"

namespace pelvoran::server {
namespace {

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

} // namespace pelvoran::server
