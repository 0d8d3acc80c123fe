#pragma once

#include "platform/text.h"

#include <cstdint>
#include <string_view>

namespace pelvoran {

/// The tool's ANSI code page is GBK (code page 936).
///
/// The signed 16-bit GBK code of one UTF-16 code unit: a single-byte character
/// gives its byte (0..255); a double-byte character with lead L and trail T
/// gives L*256+T-65536 (always negative); a character GBK lacks, or one half
/// of a surrogate pair, gives 63 ('?').
std::int16_t AnsiCode(char16_t c);

/// The character that one byte converts to on its own in GBK. Bytes that are
/// not a character by themselves (the lead bytes 0x81..0xFE and 0xFF) give
/// kAnsiCharReplacement.
char16_t AnsiChar(std::uint8_t byte);

/// A whole GBK (or GB18030, a superset) byte text to UTF-16; each byte that
/// does not start a valid character becomes U+FFFD.
Text gbkToText(std::string_view bytes, bool gb18030 = false);

inline constexpr char16_t kAnsiCharReplacement = u'\uFFFD';

} // namespace pelvoran
