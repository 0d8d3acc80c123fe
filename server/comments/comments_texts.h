#pragma once

// How the comments' own words read to the publisher.

#include <string>

namespace pelvoran::server::comments_text {

/// Where a comment came from: the web form or the desktop tool.
inline constexpr char kFromWebName[] = "网页";
inline constexpr char kFromDesktopName[] = "桌面工具";

/// Why a comment is held as likely spam (comment_hold.h), each put in
/// heldAs(); kHeldUnknown for a reason this server does not know.
inline std::string heldAs(const std::string& why) {
    return "疑似垃圾（" + why + "）";
}
inline constexpr char kHeldLinkName[] = "含链接";
inline constexpr char kHeldPhoneName[] = "含手机号";
inline constexpr char kHeldContactName[] = "含 QQ 或微信联系方式";
inline constexpr char kHeldCopyName[] = "与一小时内另一网络的留言雷同";
inline constexpr char kHeldUnknown[] = "原因不明";

} // namespace pelvoran::server::comments_text
