#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelvoran {

/// Text as the tool sees it: UTF-16 code units. A "character" is one code
/// unit; lengths and positions count code units.
using Text = std::u16string;
using TextView = std::u16string_view;

/// The carriage return that breaks lines in every caption and message.
inline constexpr char16_t kLineBreak = u'\r';

/// Removes leading and trailing blanks (U+0020 only; tabs and other spaces stay).
TextView trimBlanks(TextView s);

/// Upper-cases ASCII letters and full-width Latin letters; every other code
/// unit is returned unchanged.
char16_t upperCase(char16_t c);

/// UTF-16 to UTF-8. An unpaired surrogate is written as U+FFFD.
std::string toUtf8(TextView s);

/// UTF-8 to UTF-16, or nullopt when the bytes are not valid UTF-8 (overlong
/// forms, encoded surrogates, values above U+10FFFF, truncated sequences).
std::optional<Text> fromUtf8(std::string_view s);

/// UTF-8 to UTF-16 that never fails: each invalid or truncated sequence
/// becomes U+FFFD.
Text fromUtf8Lenient(std::string_view s);

/// Shorthand for tests and literals in the UTF-8 source: asserts validity.
Text u16(std::string_view utf8);

} // namespace pelvoran
