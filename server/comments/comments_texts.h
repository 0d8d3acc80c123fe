#pragma once

// How the comments' own words read to the publisher.

namespace pelvoran::server::comments_text {

/// Where a comment came from: the web form or the desktop tool.
inline constexpr char kFromWebName[] = "网页";
inline constexpr char kFromDesktopName[] = "桌面工具";

} // namespace pelvoran::server::comments_text
