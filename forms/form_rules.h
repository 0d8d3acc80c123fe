#pragma once

#include "platform/text.h"

#include <cstddef>
#include <functional>
#include <vector>

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

/// The message as a box shows it: whole when `fits` accepts it, else cut by
/// `cutMessageBody` to the longest body that `fits` accepts (at the least the
/// last line after "…"). `fits` tells whether a box with that text stays
/// inside the screen's work area.
Text fitMessage(const Text& message, const std::function<bool(const Text&)>& fits);

/// How wide a run of text is drawn in a label's font, in pixels.
using MeasureText = std::function<int(TextView)>;

/// The lines a label shows: its caption split at each line break (CR LF, a
/// lone CR or LF), each paragraph wrapped within `width` pixels as `measure`
/// says. A line takes as much as fits and ends where a line may end: after a
/// blank, or beside an ideograph, but never before closing punctuation nor
/// after opening punctuation; where no such place fits, it is cut at the
/// edge, never inside a surrogate pair. Blanks at the end of a line hang past
/// the edge and are not drawn.
std::vector<TextView> wrapLabel(TextView caption, int width, const MeasureText& measure);

} // namespace pelvoran::form_rule
