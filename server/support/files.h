#pragma once

#include <string>

namespace pelvoran::server {

/// Syncs `fd` to the disk; throws std::runtime_error naming `shown`.
void syncFile(int fd, const std::string& shown);

/// Copies all of `from` (from its start) to `to`, a bounded buffer at a time;
/// throws std::runtime_error naming `shown` (what is written).
void copyAll(int from, int to, const std::string& shown);

} // namespace pelvoran::server
