#pragma once

#include "platform/regional.h"
#include "platform/text.h"

namespace pelvoran::form_text {

// The main window.
inline constexpr char16_t kMainCaptionBefore[] = u"Pelvoran(v";
inline constexpr char16_t kMainCaptionAfter[] = u" Powered By Brannoc)";
/// The notice shown in the answer label at start.
inline constexpr char16_t kStartNotice[] =
    u"希望购了C家镜头的兄弟，能把镜头的型号、购买年月和编号点留言按钮发送给我们，"
    u"有足够基础数据可以使算法更完善。前人栽树后人乘凉，先在此谢过了 ^_^";
inline constexpr char16_t kCodeLabel[] = u"佳能镜头编号";
inline constexpr char16_t kQueryButton[] = u"查询生产日期";
inline constexpr char16_t kHelpButton[] = u"帮助";
inline constexpr char16_t kCommentButton[] = u"留言";

// The help window.
/// What the help label holds while the window is not loaded.
inline constexpr char16_t kHelpLabelUnloaded[] = u"Label1";
/// The photograph, for screen readers: its name and what it shows.
inline constexpr char16_t kPictureName[] = u"镜头卡口照片";
inline constexpr char16_t kPictureDescription[] =
    u"镜头卡口处的照片，印在卡口上的镜头编号用红框标出";

// The comment window.
inline constexpr char16_t kCommentCaption[] = u"请填写您的意见或建议";
inline constexpr char16_t kSendButton[] = u"发送";

// The answer window: the user's comment and the publisher's answer to it.
inline constexpr char16_t kAnswerCaption[] = u"发布者的回复";
inline constexpr char16_t kYourComment[] = u"您的留言：";
inline constexpr char16_t kTheAnswer[] = u"发布者的回复：";

// Standard buttons, in every window and message box.
inline constexpr char16_t kOk[] = u"确定";
inline constexpr char16_t kCancel[] = u"取消";

/// The main window's caption: the title around the tool's version, written
/// by the regional settings ("Pelvoran(v1.05 Powered By Brannoc)").
Text mainCaption(const RegionalSettings& regional);

/// The help text: six lines joined by a carriage return.
const Text& helpText();

} // namespace pelvoran::form_text
