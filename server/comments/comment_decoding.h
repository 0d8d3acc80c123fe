#pragma once

#include "platform/text.h"
#include "server/support/line_breaks.h"

#include <optional>
#include <string_view>

namespace pelvoran::server {

/// The comment in a body posted by the desktop tool, or nullopt when the body
/// does not start with "CommentText=". The value is everything after that
/// prefix, so that the unescaped "&" and "=" of older tools cannot cut it.
/// Both kinds of tool in the field are understood:
/// - "%26%23N%3B" (N decimal, 1..0x10FFFF, not a surrogate) is the character
///   N, as the tool writes characters that GBK lacks; any other reference
///   stays as it arrived, decoded like the rest;
/// - "%XX" is a byte and "+" a plus; a "%" without two hex digits stays "%";
/// - raw bytes of 0x80 and above are UTF-8 where they form valid UTF-8;
/// - all other bytes are GBK (0x80 is "€"); invalid sequences and NUL become
///   U+FFFD;
/// - CR LF, a lone CR and a lone LF each become one LF.
std::optional<Text> decodeDesktopComment(std::string_view body);

} // namespace pelvoran::server
