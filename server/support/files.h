#pragma once

#include <optional>
#include <string>

namespace pelvoran::server {

/// Syncs `fd` to the disk; throws std::runtime_error naming `shown`.
void syncFile(int fd, const std::string& shown);

/// Copies all of `from` (from its start) to `to`, a bounded buffer at a time;
/// throws std::runtime_error naming `shown` (what is written).
void copyAll(int from, int to, const std::string& shown);

/// Everything in the file at `path`; nullopt when it cannot be read (errno
/// says why).
std::optional<std::string> readWhole(const std::string& path);

} // namespace pelvoran::server
