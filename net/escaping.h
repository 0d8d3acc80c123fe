#pragma once

#include "platform/text.h"

namespace pelvoran {

/// The comment as it follows "CommentText=": characters that GBK holds in one
/// byte stay as they are; each double-byte GBK character becomes "%LL%TT"
/// (upper-case hexadecimal). Never fails.
Text URLEncoding(TextView vstrIn);

/// Removes the escapes of a server reply: "%uXXXX" is one UTF-16 code unit,
/// "%XX" one GBK byte on its own. Decoded characters are not scanned again.
/// Throws StepError (type mismatch) on an escape whose characters are not a
/// hexadecimal number; no text is returned then.
Text Decode(TextView text);

} // namespace pelvoran
