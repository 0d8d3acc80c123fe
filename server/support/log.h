#pragma once

#include "server/support/terminal_text.h"

#include <cstdio>
#include <string>

namespace pelvoran::server {

/// One line on standard error (the journal, under systemd), whatever `what`
/// carries: libpq's errors come in several lines, and a stranger's text
/// may hold anything. Line breaks become blanks; controls are written out.
inline void logError(std::string what) {
    while (!what.empty() && (what.back() == '\n' || what.back() == '\r'))
        what.pop_back();
    std::fprintf(stderr, "pelvoran-server: %s\n", terminalCell(what).c_str());
}

} // namespace pelvoran::server
