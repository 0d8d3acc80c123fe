#include "net/escaping.h"

#include "platform/ansi.h"
#include "platform/errors.h"
#include "platform/hex.h"

#include <cstdlib>
#include <string>

namespace pelvoran {
namespace {

/// The characters of one escape as a hexadecimal number.
unsigned readHex(TextView digits) {
    if (digits.empty())
        throw StepError(kTypeMismatch, "Type mismatch");
    unsigned value = 0;
    for (const char16_t c : digits) {
        const int d = hexDigitValue(c);
        if (d < 0)
            throw StepError(kTypeMismatch, "Type mismatch");
        value = value * 16 + static_cast<unsigned>(d);
    }
    return value;
}

} // namespace

Text URLEncoding(TextView vstrIn) {
    // The body is pure ASCII, so a form decoder on the server reads it back
    // whole and one byte on the wire is one character here.
    Text result;
    result.reserve(vstrIn.size());
    auto escapeByte = [&](unsigned byte) {
        appendPercentEscaped(result, static_cast<unsigned char>(byte));
    };
    for (std::size_t i = 0; i < vstrIn.size(); ++i) {
        const char16_t c = vstrIn[i];
        if (c < 0x80) {
            // The four characters a form decoder would read as syntax.
            if (c == u'&' || c == u'=' || c == u'+' || c == u'%')
                escapeByte(c);
            else
                result += c;
            continue;
        }
        const int code = AnsiCode(c);
        if (code < 0) {
            // A double-byte GBK character: lead and trail byte.
            const unsigned n = static_cast<unsigned>(code + 65536);
            escapeByte(n >> 8);
            escapeByte(n & 0xFF);
            continue;
        }
        if (code != u'?') {
            escapeByte(static_cast<unsigned>(code)); // a single GBK byte ("€" is 0x80)
            continue;
        }
        // GBK lacks it: a numeric character reference, as browsers send one
        // when a form's charset lacks a character ("&#54620;", escaped).
        char32_t codePoint = c;
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const char16_t next = i + 1 < vstrIn.size() ? vstrIn[i + 1] : u'\0';
        if (high && next >= 0xDC00 && next <= 0xDFFF) {
            codePoint = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                        (static_cast<char32_t>(next) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            escapeByte(u'?'); // a lone surrogate half
            continue;
        }
        result += u"%26%23";
        for (const char d : std::to_string(static_cast<unsigned long>(codePoint)))
            result += static_cast<char16_t>(d);
        result += u"%3B";
    }
    return result;
}

Text Decode(TextView s) {
    Text r;
    r.reserve(s.size());
    std::size_t p = s.find(u'%');
    while (p != TextView::npos) {
        r += s.substr(0, p);
        const TextView rest = s.substr(p + 1);
        if (!rest.empty() && (rest[0] == u'u' || rest[0] == u'U')) {
            r += static_cast<char16_t>(readHex(rest.substr(1, 4)));
            s = rest.substr(std::min<std::size_t>(rest.size(), 5));
        } else {
            r += AnsiChar(static_cast<std::uint8_t>(readHex(rest.substr(0, 2))));
            s = rest.substr(std::min<std::size_t>(rest.size(), 2));
        }
        p = s.find(u'%');
    }
    r += s;
    return r;
}

} // namespace pelvoran
