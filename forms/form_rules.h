#pragma once

#include "platform/text.h"

#include <cstddef>

namespace pelvoran::form_rule {

/// True for the characters that end a line: CR, LF, VT, FF, NEL and the
/// Unicode line and paragraph separators.
bool isLineBreak(char16_t c);

/// The text up to its first line break; all of it when it has none.
TextView firstLine(TextView text);

/// What a single-line box holds after an edit turned `before` into `after`,
/// leaving the cursor at `cursor`: of the text the edit put in (just before
/// the cursor), only its first line is kept, so a code pasted with a trailing
/// line break arrives alone. The text around the insertion stays.
Text keepFirstLineOfInsertion(TextView before, TextView after, std::size_t cursor);

/// The comment as it is posted: each line break of the multi-line box (CR LF,
/// a lone CR or LF, or the paragraph separator U+2029 between the lines of a
/// rich-text box) becomes CR LF. Every other character, U+2028 and U+00A0
/// among them, is posted as typed.
Text commentWithCrLf(TextView boxText);

/// A message cut to fit a box that cannot grow any taller: its text before the
/// last line keeps its first `keep` characters and ends with "…" where cut;
/// the last line (the one that says what the buttons do) stays whole. A
/// surrogate pair is never split. `keep` at or beyond the length of that text
/// gives the message unchanged.
Text cutMessageBody(TextView message, std::size_t keep);

/// The length of the part of the message that `cutMessageBody` may cut.
std::size_t messageBodyLength(TextView message);

} // namespace pelvoran::form_rule
