#pragma once

#include "platform/text.h"

namespace pelvoran {

/// The comment as it follows "CommentText=", always pure ASCII (upper-case
/// hexadecimal throughout):
/// - ASCII stays as it is (a blank stays a blank, CR LF stays raw), except
///   "&", "=", "+" and "%", which become "%26", "%3D", "%2B" and "%25";
/// - a double-byte GBK character becomes "%LL%TT", its lead and trail byte;
/// - another character that GBK holds in one byte becomes that byte, escaped
///   ("€" gives "%80");
/// - a character that GBK lacks (a surrogate pair is one character) becomes
///   the numeric character reference "&#<decimal code point>;", escaped as
///   above ("한" gives "%26%2354620%3B"); a lone surrogate half gives "%3F".
/// Never fails.
Text URLEncoding(TextView vstrIn);

/// Unescapes the server's reply text; nothing to do with the lens code
/// decoders of decode/. "%uXXXX" is one UTF-16 code unit,
/// "%XX" one GBK byte on its own. Decoded characters are not scanned again.
/// Throws StepError (type mismatch) on an escape whose characters are not a
/// hexadecimal number; no text is returned then.
Text Decode(TextView text);

} // namespace pelvoran
