#pragma once

// Line breaks made one kind: a comment as it is stored, a release's notes
// as the tool's box shows them.

#include "platform/text.h"

namespace pelvoran::server {

/// CR LF, a lone CR and a lone LF each as one LF; NUL as U+FFFD.
Text oneLfPerLineBreak(TextView text);

} // namespace pelvoran::server
