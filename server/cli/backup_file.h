#pragma once

#include "server/support/fd.h"

#include <string>

namespace pelvoran::server {

/// The backup `file` opened for reading, as the caller: never through a
/// link, never waiting on a FIFO. Refused (UsageError naming `what`, the
/// command or option, and the file) unless it is a regular file that begins
/// as SQLite's files do.
Fd openBackupFile(const std::string& file, const std::string& what);

} // namespace pelvoran::server
