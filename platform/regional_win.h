#pragma once

#include "platform/text.h"

namespace pelvoran {

/// A Windows date or time picture ("yyyy/M/d", "tt h:mm:ss", "d'日'") in the
/// pattern language of RegionalSettings: yyyy (and yyy, yyyyy) %Y, yy %y,
/// y %-y, MM %m, M %-m, dd %d, d %-d, HH %H, H %-H, hh %I, h %-I, mm %M,
/// m %-M, ss %S, s %-S, t and tt %p, MMM %b, MMMM %B, ddd %a, dddd %A;
/// text in single quotes is copied ('' is one quote); eras (g, gg) are left
/// out. Every other character is copied, "%" as "%%".
Text patternFromWindowsPicture(TextView picture);

} // namespace pelvoran
