#pragma once

// What the notifications say: the e-mails to recipients, the reasons a
// sending failed, and the log's lines about them. A message with parts is
// a function that puts them in place.

#include <string>

namespace pelvoran::server::notify_text {

// The log.
/// `recipient`: as logName() writes it.
inline std::string givenUp(long long comment, const std::string& recipient,
                           const std::string& why) {
    return "第 " + std::to_string(comment) + " 条留言给接收方 " + recipient +
           "的通知一天多仍未送达，已放弃：" + why;
}
inline std::string recipientFailing(const std::string& recipient, const std::string& why) {
    return "通知接收方 " + recipient + "发送失败，将按间隔重试，恢复时再记一行：" + why;
}
/// `streak`: as streakText() writes it.
inline std::string recipientRecovered(const std::string& recipient, const std::string& streak) {
    return "通知接收方 " + recipient + "已恢复：" + streak;
}
inline std::string resultsNotRecorded(const std::string& why) {
    return "通知的发送结果未能记下：" + why;
}
inline std::string notSent(const std::string& why) {
    return "通知未能发送：" + why;
}

// Why a sending failed.
inline std::string connectionFailed(const std::string& detail) {
    return "连接或发送失败（" + detail + "）";
}
inline constexpr char kCannotPrepare[] = "无法准备发送（libcurl）";
inline std::string refusedWith(long status) {
    return "接收方答复 HTTP " + std::to_string(status) + "（须为 2xx）";
}

// The e-mail of a new comment, a line each.
inline std::string mailNewComment(const std::string& id) {
    return "Pelvoran 收到第 " + id + " 条留言。";
}
inline constexpr char kMailNumber[] = "编号：";
/// `utc`: the same time in ISO 8601.
inline std::string mailTime(const std::string& local, const std::string& utc) {
    return "时间：" + local + "（UTC " + utc + "）";
}
inline std::string mailSource(const std::string& source, bool flagged) {
    return "来源：" + source + (flagged ? "（疑似机器人）" : "");
}
inline constexpr char kMailLink[] = "链接：";
inline constexpr char kNoAdminBase[] = "（未设置 --admin-base-url）";
/// Above the comment's own words.
inline constexpr char kMailComment[] = "留言：";
inline std::string mailSubject(const std::string& id) {
    return "Pelvoran 新留言 #" + id;
}
// The test, by e-mail or as the webhook's comment.
inline constexpr char kTestSubject[] = "Pelvoran 通知测试";
inline constexpr char kTestNotice[] = "这是 pelvoran-server notify test 发出的测试通知。";
inline constexpr char kTestMeaning[] = "收到它，说明新留言的通知能送到这里。";

// Spans of time: "45 秒", "3 小时 5 分钟".
inline constexpr char kSecondsUnit[] = "秒";
inline constexpr char kMinutesUnit[] = "分钟";
inline constexpr char kHoursUnit[] = "小时";
inline constexpr char kDaysUnit[] = "天";
/// `span`: as spanText() writes it.
inline std::string streakSummary(long long failures, const std::string& span, long long waiting) {
    return "此前连续失败 " + std::to_string(failures) + " 次，历时 " + span + "，期间有 " +
           std::to_string(waiting) + " 条通知在等待";
}

} // namespace pelvoran::server::notify_text
