#include "server/comments/comment_decoding.h"

#include "net/wire.h"
#include "platform/ansi.h"
#include "platform/hex.h"

#include <string>
#include <vector>

namespace pelvoran::server {
namespace {

/// The character and the length of an escaped reference "%26%23N%3B" at `at`,
/// when N is a character a reference may stand for.
std::optional<std::pair<char32_t, std::size_t>> reference(std::string_view s, std::size_t at) {
    if (percentEscapedByte(s, at) != '&' || percentEscapedByte(s, at + 3) != '#')
        return std::nullopt;
    // Seven digits hold every code point; more are not a number here.
    constexpr std::size_t kMaxDigits = 7;
    std::size_t i = at + 6;
    char32_t n = 0;
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (++digits > kMaxDigits)
            return std::nullopt;
        n = n * 10 + static_cast<char32_t>(s[i] - '0');
        ++i;
    }
    if (digits == 0 || percentEscapedByte(s, i) != ';')
        return std::nullopt;
    if (n == 0 || n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF))
        return std::nullopt;
    return std::pair{n, i + 3 - at};
}

void appendCodePoint(Text& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
        return;
    }
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
}

/// The length of the UTF-8 sequence that `lead` announces, 0 for none.
std::size_t utf8Length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

/// Bytes waiting to become text, each remembered as sent raw or escaped.
class PendingBytes {
public:
    void add(unsigned char byte, bool raw) {
        bytes_ += static_cast<char>(byte);
        raw_.push_back(raw);
    }

    /// Appends the bytes as text and forgets them.
    void flushInto(Text& out) {
        std::string gbk;
        std::size_t i = 0;
        while (i < bytes_.size()) {
            const auto b = static_cast<unsigned char>(bytes_[i]);
            if (raw_[i] && b >= 0x80) {
                if (const std::size_t n = utf8Length(b); n > 0 && rawRun(i, n)) {
                    if (const auto text = fromUtf8(std::string_view(bytes_).substr(i, n))) {
                        out += gbkToText(gbk);
                        gbk.clear();
                        out += *text;
                        i += n;
                        continue;
                    }
                }
            }
            gbk += bytes_[i++];
        }
        out += gbkToText(gbk);
        bytes_.clear();
        raw_.clear();
    }

private:
    bool rawRun(std::size_t from, std::size_t n) const {
        if (from + n > bytes_.size())
            return false;
        for (std::size_t k = from; k < from + n; ++k)
            if (!raw_[k])
                return false;
        return true;
    }

    std::string bytes_;
    std::vector<bool> raw_;
};

} // namespace

std::optional<Text> decodeDesktopComment(std::string_view body) {
    if (!body.starts_with(wire::kCommentField.ascii()))
        return std::nullopt;
    const std::string_view value = body.substr(wire::kCommentField.ascii().size());
    Text text;
    PendingBytes pending;
    std::size_t i = 0;
    while (i < value.size()) {
        if (value[i] == '%') {
            if (const auto ref = reference(value, i)) {
                pending.flushInto(text);
                appendCodePoint(text, ref->first);
                i += ref->second;
                continue;
            }
            if (const int byte = percentEscapedByte(value, i); byte >= 0) {
                pending.add(static_cast<unsigned char>(byte), false);
                i += 3;
                continue;
            }
        }
        pending.add(static_cast<unsigned char>(value[i]), true);
        ++i;
    }
    pending.flushInto(text);
    return oneLfPerLineBreak(text);
}

} // namespace pelvoran::server
