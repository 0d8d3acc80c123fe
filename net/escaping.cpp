#include "net/escaping.h"

#include "platform/ansi.h"
#include "platform/errors.h"

#include <cstdlib>

namespace pelvoran {
namespace {

void appendHex(Text& out, unsigned value) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    Text digits;
    do {
        digits.insert(digits.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    out += digits;
}

/// The characters of one escape as a hexadecimal number.
unsigned readHex(TextView digits) {
    if (digits.empty())
        throw StepError(kTypeMismatch, "Type mismatch");
    unsigned value = 0;
    for (const char16_t c : digits) {
        unsigned d;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        else
            throw StepError(kTypeMismatch, "Type mismatch");
        value = value * 16 + d;
    }
    return value;
}

} // namespace

Text URLEncoding(TextView vstrIn) {
    Text result;
    result.reserve(vstrIn.size());
    for (const char16_t c : vstrIn) {
        const int code = AnsiCode(c);
        if (std::abs(code) < 255) {
            result += c;
            continue;
        }
        unsigned n = static_cast<unsigned>(code < 0 ? code + 65536 : code);
        result += u'%';
        appendHex(result, (n & 0xFF00) / 255); // equals the lead byte for 0x81..0xFE
        result += u'%';
        appendHex(result, n & 0xFF);
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
