#include "platform/text.h"

#include <cstdint>
#include <stdexcept>

namespace pelvoran {

TextView trimBlanks(TextView s) {
    const auto first = s.find_first_not_of(u' ');
    if (first == TextView::npos)
        return {};
    const auto last = s.find_last_not_of(u' ');
    return s.substr(first, last - first + 1);
}

char16_t upperCase(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - u'a' + u'A');
    if (c >= u'ａ' && c <= u'ｚ')
        return static_cast<char16_t>(c - u'ａ' + u'Ａ');
    return c;
}

namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

std::string toUtf8(TextView s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (isHighSurrogate(c) && i + 1 < s.size() && isLowSurrogate(s[i + 1])) {
            appendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

std::optional<Text> fromUtf8(std::string_view s) {
    Text out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<std::uint8_t>(s[i]);
        if (b0 < 0x80) {
            out += static_cast<char16_t>(b0);
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        char32_t min;
        if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + extra >= s.size())
            return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto b = static_cast<std::uint8_t>(s[i + k]);
            if ((b & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return out;
}

Text fromUtf8Lenient(std::string_view s) {
    Text out;
    out.reserve(s.size());
    while (!s.empty()) {
        // Take the longest valid prefix in one go, then replace one bad byte.
        std::size_t good = 0;
        std::size_t i = 0;
        while (i < s.size()) {
            const auto b0 = static_cast<std::uint8_t>(s[i]);
            const std::size_t len = b0 < 0x80             ? 1
                                    : (b0 & 0xE0) == 0xC0 ? 2
                                    : (b0 & 0xF0) == 0xE0 ? 3
                                    : (b0 & 0xF8) == 0xF0 ? 4
                                                          : 0;
            if (len == 0 || i + len > s.size() || !fromUtf8(s.substr(i, len)))
                break;
            i += len;
            good = i;
        }
        out += *fromUtf8(s.substr(0, good));
        if (good < s.size()) {
            out += u'\uFFFD';
            s.remove_prefix(good + 1);
        } else {
            s = {};
        }
    }
    return out;
}

Text u16(std::string_view utf8) {
    auto t = fromUtf8(utf8);
    if (!t)
        throw std::invalid_argument("u16: invalid UTF-8");
    return *t;
}

} // namespace pelvoran
