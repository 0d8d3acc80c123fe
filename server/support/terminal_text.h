#pragma once

// Stored text as a terminal shows it: nothing a commenter or a stranger typed
// acts on the publisher's terminal.

#include "platform/text.h"

#include <string>
#include <string_view>

namespace pelvoran::server {

/// A comment's text for a terminal, in UTF-8, ending in a line break: every
/// line indented by four blanks, so that none can pass for the head of an
/// entry; C0 controls but LF, DEL, C1 controls and the bidirectional controls
/// written out as "\x1b" (below U+0100) or "\u202e", so that nothing acts on
/// the terminal or reorders what it shows.
std::string terminalText(TextView text);

/// Stored text on one line of a terminal, in UTF-8: line breaks as blanks,
/// whatever would act on the terminal or reorder it written out as
/// terminalText writes it. Every command that prints stored text (an address,
/// a user, an error, an action) prints it through this.
std::string terminalCell(std::string_view utf8);

} // namespace pelvoran::server
