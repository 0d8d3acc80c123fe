#pragma once

namespace pelvoran {

/// The tool's own version: shown in the main window's caption and compared
/// with the server's latest version.
inline constexpr double CURRENT_VERSION = 1.05;

} // namespace pelvoran
