// GBK through the system's code page 936 tables, whatever the user's ANSI
// code page is: a comment keeps its Chinese on any Windows.
#include "platform/ansi.h"

#include <array>
#include <windows.h>

namespace pelvoran {
namespace {

constexpr UINT kGbk = 936;
constexpr UINT kGb18030 = 54936;

/// Decodes exactly `size` bytes into one UTF-16 code unit (or a pair for
/// GB18030 beyond the BMP); 0 when they are not one valid character. The
/// flag makes an invalid sequence fail instead of swallowing what follows.
int decodeOne(UINT codePage, const char* bytes, int size, wchar_t* out) {
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, size, out, 2);
}

std::array<char16_t, 256> buildByteTable() {
    std::array<char16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        const char in = static_cast<char>(b);
        wchar_t out[2];
        table[b] = decodeOne(kGbk, &in, 1, out) == 1 ? static_cast<char16_t>(out[0])
                                                     : kAnsiCharReplacement;
    }
    return table;
}

/// A four-byte GB18030 sequence beyond the BMP, which is a plain count from
/// U+10000 (90 30 81 30); 0 when the bytes are not one.
char32_t gb18030Supplementary(const unsigned char* b) {
    if (b[0] < 0x90 || b[0] > 0xE3 || b[1] < 0x30 || b[1] > 0x39 || b[2] < 0x81 || b[2] > 0xFE ||
        b[3] < 0x30 || b[3] > 0x39)
        return 0;
    const char32_t linear =
        ((b[0] - 0x90u) * 10 + (b[1] - 0x30u)) * 1260 + (b[2] - 0x81u) * 10 + (b[3] - 0x30u);
    return linear < 0x100000 ? 0x10000 + linear : 0;
}

/// Decodes one GB18030 character of `size` bytes. Where the system has no
/// GB18030 tables (wine has none), the GBK part comes from code page 936 and
/// the planes beyond the BMP are computed; a four-byte character inside the
/// BMP then counts as invalid.
int decodeGb18030(const char* bytes, int size, wchar_t* out) {
    static const bool native = IsValidCodePage(kGb18030) != 0;
    if (native)
        return decodeOne(kGb18030, bytes, size, out);
    if (size != 4)
        return decodeOne(kGbk, bytes, size, out);
    const char32_t c = gb18030Supplementary(reinterpret_cast<const unsigned char*>(bytes));
    if (c == 0)
        return 0;
    out[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    out[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    return 2;
}

/// Length of the character at `i` in GB18030: one byte, two, or four
/// (byte, digit, byte, digit).
std::size_t gb18030Length(std::string_view bytes, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    if (b(i) < 0x80)
        return 1;
    if (i + 1 < bytes.size() && b(i + 1) >= 0x30 && b(i + 1) <= 0x39)
        return 4;
    return 2;
}

} // namespace

std::int16_t AnsiCode(char16_t c) {
    if (c < 0x80)
        return static_cast<std::int16_t>(c);
    if (c >= 0xD800 && c <= 0xDFFF)
        return 63; // a surrogate half has no code of its own
    const wchar_t in = static_cast<wchar_t>(c);
    unsigned char out[4];
    BOOL usedDefault = FALSE;
    const int n =
        WideCharToMultiByte(kGbk, WC_NO_BEST_FIT_CHARS, &in, 1, reinterpret_cast<char*>(out),
                            sizeof out, nullptr, &usedDefault);
    if (usedDefault)
        return 63;
    if (n == 1)
        return out[0];
    if (n == 2)
        return static_cast<std::int16_t>(out[0] * 256 + out[1] - 65536);
    return 63;
}

char16_t AnsiChar(std::uint8_t byte) {
    static const std::array<char16_t, 256> table = buildByteTable();
    return table[byte];
}

Text gbkToText(std::string_view bytes, bool gb18030) {
    const auto decode = [gb18030](const char* b, int size, wchar_t* out) {
        return gb18030 ? decodeGb18030(b, size, out) : decodeOne(kGbk, b, size, out);
    };
    Text out;
    out.reserve(bytes.size());
    // Valid runs in one call; an invalid sequence costs one U+FFFD per byte
    // that cannot start a character.
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t run = i;
        while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80)
            ++run;
        for (; i < run; ++i)
            out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
        if (i == bytes.size())
            break;
        const std::size_t want = gb18030 ? gb18030Length(bytes, i) : 2;
        wchar_t wide[2];
        const int n =
            i + want <= bytes.size() ? decode(bytes.data() + i, static_cast<int>(want), wide) : 0;
        if (n > 0) {
            out.append(wide, wide + n);
            i += want;
            continue;
        }
        const int single = decode(bytes.data() + i, 1, wide);
        out += single == 1 ? static_cast<char16_t>(wide[0]) : kAnsiCharReplacement;
        ++i;
    }
    return out;
}

} // namespace pelvoran
