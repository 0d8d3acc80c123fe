#pragma once

// Hexadecimal digits and percent-encoding, for every side of the system: the
// tool's escapes and addresses, the server's reply, exports and pages.

#include <cstddef>
#include <string>
#include <string_view>

namespace pelvoran {

enum class HexCase { Upper, Lower };

/// The hexadecimal digit of the low four bits of `value`.
constexpr char hexDigit(unsigned long value, HexCase letters = HexCase::Upper) {
    constexpr char kUpper[] = "0123456789ABCDEF";
    constexpr char kLower[] = "0123456789abcdef";
    return (letters == HexCase::Upper ? kUpper : kLower)[value & 0xF];
}

/// The value of one hexadecimal digit of either case, -1 for any other
/// character.
constexpr int hexDigitValue(char32_t c) {
    if (c >= U'0' && c <= U'9')
        return static_cast<int>(c - U'0');
    if (c >= U'A' && c <= U'F')
        return static_cast<int>(c - U'A') + 10;
    if (c >= U'a' && c <= U'f')
        return static_cast<int>(c - U'a') + 10;
    return -1;
}

/// Appends `value` in hexadecimal, most significant digit first, padded with
/// zeros to `width` digits; a value that needs more digits gets them all.
template <class CharT>
void appendHex(std::basic_string<CharT>& out, unsigned long value, std::size_t width,
               HexCase letters = HexCase::Upper) {
    std::size_t digits = 1;
    while (digits < sizeof value * 2 && (value >> (4 * digits)) != 0)
        ++digits;
    if (digits < width)
        digits = width;
    for (std::size_t i = digits; i-- > 0;)
        out += static_cast<CharT>(hexDigit(i < sizeof value * 2 ? value >> (4 * i) : 0, letters));
}

/// Appends one byte as "%XX", with upper-case digits as RFC 3986 asks.
template <class CharT>
void appendPercentEscaped(std::basic_string<CharT>& out, unsigned char byte) {
    out += static_cast<CharT>('%');
    appendHex(out, byte, 2);
}

/// The bytes with each byte for which `keep(byte)` is false written as "%XX".
template <class Keep> std::string percentEncode(std::string_view bytes, Keep keep) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        if (keep(byte))
            out += ch;
        else
            appendPercentEscaped(out, byte);
    }
    return out;
}

/// The byte that "%XX" at `at` stands for (digits of either case), or -1 when
/// no such escape starts there.
constexpr int percentEscapedByte(std::string_view s, std::size_t at) {
    if (at >= s.size() || s.size() - at < 3 || s[at] != '%')
        return -1;
    const int high = hexDigitValue(static_cast<unsigned char>(s[at + 1]));
    const int low = hexDigitValue(static_cast<unsigned char>(s[at + 2]));
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

} // namespace pelvoran
