#pragma once

// The words of the publisher's pages' handlers: why a request is refused,
// what was just done, what the log and the audit log say. The pages' own
// words are in pages/page_texts.h.

#include "server/store/download_store.h"
#include "server/store/store_texts.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pelvoran::server::admin_text {

// Signing in and out.
/// The admin token of before, in an old address: it opens nothing now.
inline constexpr char kOldAdminAddress[] =
    "这是以前的管理地址，其中的令牌已不能登录：现在每个登录地址只能用一次。";
inline constexpr char kSignInAddressSpent[] =
    "这个登录地址已经用过或已过期：每个登录地址只能用一次，并且一小时内有效。";
inline constexpr char kSignInFirst[] = "需要先登录。";
/// A POST whose Origin is not this site's.
inline constexpr char kOtherSite[] = "这个请求来自其他网站，已拒绝。";
/// A POST whose form token is not the session's.
inline constexpr char kFormExpired[] = "表单已过期，请回到上一页刷新后重试。";
inline constexpr char kSignedInLog[] = "管理页面：令牌换得了一次新的登录";
inline constexpr char kSignedOutLog[] = "管理页面：一次登录已退出";
// The audit log's lines of a session: action and detail.
inline constexpr char kSignInAction[] = "登录";
inline constexpr char kSignInDetail[] = "用管理地址中的令牌登录";
inline constexpr char kSignOutAction[] = "退出";
inline constexpr char kSignOutDetail[] = "一次登录已结束";

/// /metrics without the monitoring token (its file's name between the two).
inline constexpr char kMetricsTokenBefore[] = "需要监控令牌：Authorization: Bearer <状态目录中 ";
inline constexpr char kMetricsTokenAfter[] = " 文件里的令牌>（管理令牌不能用于 /metrics）\n";

// Comments.
inline std::string deletedComments(std::int64_t count) {
    return "已删除 " + std::to_string(count) + " 条留言。";
}
inline constexpr char kAnswerSaved[] = "回复已保存：写信人下次启动工具时会看到它。";
inline constexpr char kAnswerWithdrawn[] = "回复已撤回。";
inline constexpr char kAnswerEmpty[] = "回复是空的：要撤回回复，请用“撤回回复”按钮。";
inline std::string answerTooLong(std::size_t chars) {
    return "回复有 " + std::to_string(chars) + " 字，最多 2000 字。";
}
inline constexpr char kAnswerNoKey[] =
    "这条留言无法回复：它来自 1.05 或更早的工具或网页，没有回复密钥。";
inline constexpr char kAnswerHeld[] = "疑似垃圾留言放行后才能回复。";
inline constexpr char kAnswerDelivered[] = "回复已经送达，不能再修改或撤回。";
inline constexpr char kNoAnswer[] = "这条留言没有回复可撤回。";
inline std::string approvedComment(std::int64_t id) {
    return "已放行第 " + std::to_string(id) + " 条留言：它现在是普通留言，通知随后发出。";
}

// Releases.
/// What the rollout's percentage must be, for the pages' forms.
inline constexpr char kPercentProblem[] =
    "须为 0 到 100 的整数（收到这个版本的网络的百分比），例如 10。";
inline constexpr char kNothingToRollOut[] = "现在没有发布的版本，无从调整比例：请先发布。";
inline constexpr char kBadFileName[] =
    "文件名须为 1 到 100 个英文字母、数字、“.”、“_”、“-”或“+”，不以“.”开头，例如 "
    "Pelvoran-1.06.exe：请把文件改名后重新选择。";
inline constexpr char kNoDownloadBase[] = "第一次发布服务器提供的文件时须填下载地址的开头，例如 "
                                          "https://example.com/pelvoran（之后记在数据库中）。";
/// A file the page uploaded that was larger than serve takes.
inline std::string fileTooLarge(const std::string& file, std::int64_t size, std::uint64_t limit) {
    return store_text::fileTooLarge(file, size, limit) + "，由 serve 的 --max-download-size 设定。";
}
/// The file field's error when the store would not keep the file.
inline std::string fileRefused(const FileRefused& e) {
    if (e.kind() == FileRefused::Kind::TooLarge)
        return fileTooLarge(e.file(), e.size(), e.limit());
    return e.what();
}
inline std::string storedFileDeleted(const std::string& file) {
    return file + " 的数据在写入时被另一个命令删除了（release prune-files？）：请重新发布";
}
/// A file at a path that already served another one: the path before it,
/// the other file's SHA-256 between the two.
inline constexpr char kOtherFileBefore[] = " 已发布过另一个文件（SHA-256 ";
inline constexpr char kOtherFileAfter[] =
    "）：同一路径只能是同一个文件。请换一个版本号，或把文件改名后重新选择。";
/// Windows's release cleared (it reads as before there were platforms).
inline constexpr char kCleared[] = "已撤下：工具不再提示更新。";
inline std::string clearedFor(std::string_view platform) {
    return "已撤下：" + std::string(platform) + " 工具不再提示更新。";
}
inline std::string rolledOut(int percent, const std::string& version, std::string_view platform) {
    return "已调整：" + std::to_string(percent) + "% 的网络收到 " + version + "（" +
           std::string(platform) + "），正在运行的服务器一秒内按此答复。";
}
// Publishing, as the audit log names it and as the notice says it's done.
inline constexpr char kPublish[] = "发布";
inline constexpr char kRepublish[] = "重新发布";
inline std::string published(bool again, const std::string& version) {
    return std::string("已") + (again ? kRepublish : kPublish) + " " + version +
           "：正在运行的服务器一秒内开始提供。";
}
inline constexpr char kBadHistoryRow[] = "表单中的发布记录编号（id）不对。";
inline std::string noHistoryRow(std::int64_t id) {
    return "没有第 " + std::to_string(id) + " 条发布记录。";
}
inline std::string clearedHistoryRow(std::int64_t id) {
    return "第 " + std::to_string(id) + " 条发布记录是一次撤下，没有可以重新发布的内容。";
}
/// The audit log's detail of a republish: which row it came from.
inline std::string fromHistoryRow(std::int64_t id) {
    return "（发布记录 #" + std::to_string(id) + "）";
}

// Notifications: why the add form's recipient cannot be kept.
inline constexpr char kWebhookAddress[] =
    "接收地址须以 https:// 或 http:// 开头，例如 https://example.com/hooks/pelvoran。";
inline constexpr char kWebhookUserInfo[] =
    "接收地址不能含用户名或密码（用户名:密码@）：地址会显示在这个页面上。请去掉它们；"
    "接收方用签名密钥核对 X-Pelvoran-Signature。";
inline constexpr char kWebhookSecret[] = "签名密钥不能为空，最多 4096 字节。";
inline constexpr char kMailAddress[] = "收件地址须像 name@example.com。";
inline constexpr char kSmtpAddress[] =
    "SMTP 服务器须像 smtps://smtp.example.com 或 smtp://smtp.example.com:587。";
inline constexpr char kSmtpUserInfo[] =
    "SMTP 服务器的地址不能含用户名或密码：请填在“SMTP 用户”和“SMTP 密码”中。";
inline constexpr char kSmtpUserAlone[] = "SMTP 用户和密码须一起填写，或都不填。";
inline constexpr char kSmtpPassword[] = "SMTP 密码最多 4096 字节。";
inline std::string unreadableCaFile(const std::string& path) {
    return "服务器无法读取 CA 证书文件 " + path + "：请填写它在服务器上的完整路径。";
}
inline constexpr char kBadNotifyForm[] = "表单不对：请刷新页面后重试。";
// Notifications: what was done. `who` is a recipient as described(): its
// number, kind and address.
inline constexpr char kMailKind[] = "电子邮件 ";
inline constexpr char kWebhookKind[] = "webhook ";
inline constexpr char kRecipientAdded[] =
    "已添加：正在运行的服务器一秒内开始向它发送新留言的通知。";
inline constexpr char kRecipientRemoved[] = "已删除接收方和它待发送的通知。";
inline std::string testInterrupted(const std::string& who) {
    return "服务器正在停止：给 " + who + " 的试发已中断，结果没有记下。";
}
inline std::string testFailed(const std::string& who, const std::string& why) {
    return "测试通知未能送达 " + who + "：" + why;
}
inline std::string testDelivered(const std::string& who) {
    return "测试通知已送达 " + who + "。";
}
inline std::string testStillRunning(const std::string& who) {
    return "给 " + who + " 的试发还在进行，结果会显示在发起它的页面上。";
}
/// The log's line when a test send ends a recipient's failures in a row
/// (the recipient as logName() gives it, then how the failures went).
inline std::string recoveredByTest(const std::string& who, const std::string& streak) {
    return "通知接收方 " + who + "已恢复（试发送达）：" + streak;
}
// The audit log's lines of notifications.
inline constexpr char kTestAction[] = "试发通知";
inline constexpr char kTestUndelivered[] = "：未送达";
inline constexpr char kTestDelivered[] = "：已送达";
inline constexpr char kAddRecipientAction[] = "添加通知接收方";
inline constexpr char kRemoveRecipientAction[] = "删除通知接收方";

// /metrics: what each family counts (its HELP line).
inline constexpr char kUpdateChecksHelp[] =
    "答复过的更新检查次数，按工具的版本和平台分（没有标明的为“1.05 或更早”，平台 unknown）。";
inline constexpr char kDownloadsHelp[] = "下载完的发布文件次数，按版本和平台分。";
inline constexpr char kOffersHelp[] =
    "提供了比工具自己的版本更新的版本的答复次数，按提供的版本和平台分；正在发布的版本和其余网络收到"
    "的版本即使没有提供过也列出（0）。";
inline constexpr char kRolloutHelp[] =
    "各平台正在发布的版本收到它的网络所占的比例（0 到 1）；0 表示已暂停。";
inline constexpr char kCommentsStoredHelp[] = "已可靠保存的留言条数。";
inline constexpr char kCommentsRefusedHelp[] = "被拒绝的留言条数，按 HTTP 状态码分。";
inline constexpr char kCommentsHeldHelp[] =
    "自启动以来作为疑似垃圾暂存的留言条数（也计入已保存的），按原因分：link 链接、phone 手机号、"
    "contact QQ 或微信联系方式、copy 与另一网络的留言雷同。";
inline constexpr char kCommentsHeldWaitingHelp[] = "等待发布者放行或删除的疑似垃圾留言条数。";
inline constexpr char kAnswerFetchesHelp[] =
    "自启动以来工具取回复（POST /answers）得到应答的次数，不论有无回复。";
inline constexpr char kAnswersDeliveredHelp[] =
    "自启动以来工具确认已显示、因而标为已送达的回复条数。";
inline constexpr char kAnswersWaitingHelp[] = "已写好、尚未送达且工具仍可取走的回复条数。";
inline constexpr char kBackupAgeHelp[] = "距最新一份备份写成的秒数；没有备份时为 +Inf。";
inline constexpr char kDatabaseBytesHelp[] = "数据库及其预写日志的字节数。";
inline constexpr char kStandbysHelp[] =
    "PostgreSQL 主机上连接着的同步备机数；0 表示留言只保存在一台机器上。";
inline constexpr char kNotificationsPendingHelp[] = "等待发送的新留言通知条数。";
inline constexpr char kOldestPendingHelp[] =
    "最早一条等待发送的通知已等待的秒数；没有等待的通知时为 0。";
inline constexpr char kNotificationFailuresHelp[] = "自启动以来发送失败的通知次数（不含试发）。";

// A token file of the state directory (the metrics token's, the sessions'
// key), its path before each.
inline constexpr char kCannotWrite[] = "：无法写入";
inline constexpr char kTokenTooShort[] = "：令牌太短，删除这个文件后重新启动服务器";

} // namespace pelvoran::server::admin_text
