#pragma once

#include <cstdio>
#include <string>

namespace pelvoran::server {

/// One line on standard error (the journal, under systemd).
inline void logError(const std::string& what) {
    std::fprintf(stderr, "pelvoran-server: %s\n", what.c_str());
}

} // namespace pelvoran::server
