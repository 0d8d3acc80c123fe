#pragma once

// The words of the pages, the public site's and the publisher's; the markup
// around them stays in the pages' code. The lookup page shares the desktop
// tool's own words (forms/form_texts.h).

#include <cstddef>
#include <cstdint>
#include <string>

namespace pelvoran::server::page_text {

// The publisher's pages: the navigation bar, each page's name.
inline constexpr char kNavLabel[] = "发布者页面";
inline constexpr char kCommentsNav[] = "留言";
inline constexpr char kReleaseNav[] = "发布版本";
inline constexpr char kUseNav[] = "使用情况";
inline constexpr char kNotifyNav[] = "通知";
inline constexpr char kAuditNav[] = "操作记录";
/// Ends the session for good, on this browser.
inline constexpr char kSignOut[] = "退出";
/// The tail of every publisher's page's title.
inline constexpr char kAdminTitleTail[] = " · Pelvoran 发布者页面";

// The comment list.
inline constexpr char kMarkUnread[] = "标为未读";
inline constexpr char kMarkRead[] = "标为已读";
inline constexpr char kDelete[] = "删除";
inline constexpr char kRead[] = "已读";
inline constexpr char kUnread[] = "未读";
/// The unread count goes between the two.
inline constexpr char kUnreadBefore[] = "未读 ";
inline constexpr char kUnreadAfter[] = " 条。";
inline constexpr char kMarkAllRead[] = "全部标为已读";
inline constexpr char kSearchLabel[] = "搜索留言";
inline constexpr char kSearch[] = "搜索";
inline constexpr char kExportCsv[] = "导出 CSV";
inline constexpr char kExportJsonLines[] = "导出 JSON Lines";
inline constexpr char kAllComments[] = "全部留言";
inline constexpr char kSearchResults[] = "搜索结果";
/// After the list's heading: how many in all, and which page of how many.
inline std::string listCount(std::int64_t total, std::int64_t pageNo, std::int64_t pages) {
    return "（" + std::to_string(total) + " 条，第 " + std::to_string(pageNo) + "/" +
           std::to_string(pages) + " 页）";
}
inline constexpr char kNoComments[] = "没有留言。";
inline constexpr char kPagesLabel[] = "分页";
inline constexpr char kPreviousPage[] = "上一页";
inline constexpr char kNextPage[] = "下一页";
inline std::string flaggedHeading(std::int64_t total) {
    return "疑似机器人填写的留言（" + std::to_string(total) + " 条）";
}
inline constexpr char kFlaggedWhy[] = "网页表单中本应留空的一栏被填写了。辅助工具也可能填写它，"
                                      "所以这些留言照样保存在这里。";
inline constexpr char kDeleteAllFlagged[] = "删除全部疑似机器人留言";
inline std::string heldHeading(std::int64_t total) {
    return "疑似垃圾（" + std::to_string(total) + " 条）";
}
inline constexpr char kHeldWhy[] =
    "这些留言含链接、手机号、QQ 或微信联系方式，或与一小时内另一网络发来的留言雷同。"
    "它们照样保存，只是不逐条通知；放行后成为普通留言，并在那时通知一次。"
    "发送者看到的感谢与平常一样。";
/// Lets a held comment through.
inline constexpr char kApprove[] = "放行";
/// The line at the top of every publisher's page while comments are held:
/// the count and kHeldBannerLink are a link to the list.
inline std::string heldBannerLink(std::int64_t count) {
    return std::to_string(count) + " 条疑似垃圾留言";
}
inline constexpr char kHeldBannerBefore[] = "有 ";
inline constexpr char kHeldBannerAfter[] = "待处理。";

/// The banner of failing notifications: each recipient, since when.
inline std::string failingSince(std::int64_t id, const std::string& since) {
    return "#" + std::to_string(id) + "（自 " + since + " 起）";
}
inline constexpr char kFailingSeparator[] = "、";
/// The recipients go between kFailingBefore and kFailingAfter, then a link
/// to the notifications' page (kNotifyNav) before kFailingLinkAfter.
inline constexpr char kFailingBefore[] = "新留言的通知已连续失败一小时以上：接收方 ";
inline constexpr char kFailingAfter[] = "。请到";
inline constexpr char kFailingLinkAfter[] = "页面查看原因。";

// The release page.
/// The tool's box would show nothing for this release.
inline constexpr char kNoOffer[] = "工具不会提示这个版本（不比工具的版本新）。";
inline constexpr char kOfferBoxLabel[] = "工具显示的更新提示";
inline constexpr char kSignatureSignsHere[] = "签名（留空：用状态目录中的私钥签名）";
inline constexpr char kSignatureSignedElsewhere[] =
    "签名（在存放私钥的机器上用 pelvoran-server release sign 生成，sig1: 开头）";
inline constexpr char kSignatureUnkeyed[] =
    "签名（状态目录中没有公钥：更新提示不签名也会发布，但可被途中的人伪造）";
inline constexpr char kFileLabel[] = "服务器提供的文件（可不选：不选时用上面的下载地址）";
inline constexpr char kBaseLabel[] =
    "下载地址开头（第一次发布文件时填，例如 https://example.com/pelvoran）";
/// Where served files are published: the base, then a path of placeholders.
inline constexpr char kFileAddress[] = "文件的下载地址：";
inline constexpr char kPlatformPlaceholder[] = "平台";
inline constexpr char kVersionPlaceholder[] = "版本";
inline constexpr char kFileNamePlaceholder[] = "文件名";

inline constexpr char kPlatformsLabel[] = "平台";
/// After a platform's label: "Windows 工具".
inline constexpr char kTools[] = " 工具";
inline constexpr char kRolloutTitle[] = "分阶段发布";
inline std::string rolloutToAll(const std::string& version) {
    return "所有网络的工具都收到 " + version + "。";
}
inline constexpr char kHalted[] = "已暂停：";
/// A share of the networks gets `version`; the rest get kRestGetEarlier and
/// the earlier version, or kRestGetNothing.
inline std::string rolloutShare(int percent, const std::string& version) {
    return std::to_string(percent) + "% 的网络收到 " + version + "，其余的";
}
inline constexpr char kRestGetEarlier[] = "收到之前全部发布过的 ";
inline constexpr char kRestGetNothing[] = "不提示更新";
inline constexpr char kSentenceEnd[] = "。";
inline constexpr char kSameNetworkSameAnswer[] =
    "同一网络（IPv4 的 /24、IPv6 的 /48）每次得到同样的答复；调高比例只会增加网络。";
inline constexpr char kPercentLabel[] = "收到这个版本的网络（百分比，0 到 100）";
inline constexpr char kSetRollout[] = "调整比例";
inline constexpr char kHalt[] = "暂停发布（0%）";
inline constexpr char kReleaseTitle[] = "发布版本 · ";
inline constexpr char kLiveTitle[] = "现在发布的版本";
inline constexpr char kVersion[] = "版本";
inline constexpr char kAddress[] = "下载地址";
inline constexpr char kDate[] = "发布日期";
inline constexpr char kNotes[] = "更新说明";
inline constexpr char kSignature[] = "签名";
inline constexpr char kUnsigned[] = "未签名";
inline constexpr char kSigned[] = "已签名";
inline constexpr char kClear[] = "撤下这个版本";
/// Nothing published for the tools named between the two.
inline constexpr char kNothingLiveBefore[] = "尚未给 ";
inline constexpr char kNothingLiveAfter[] = "发布新版本：这些工具不会提示更新。";
inline constexpr char kPreviewTitle[] = "预览：工具将显示";
inline constexpr char kOfferTitle[] = "工具显示的提示";
inline constexpr char kPublishTitle[] = "发布新版本";
inline constexpr char kVersionLabel[] = "版本（例如 1.06）";
inline constexpr char kAddressLabel[] = "下载地址（选了下面的文件时由服务器生成）";
inline constexpr char kRolloutLabel[] = "先给多少网络（百分比，0 到 100；100：全部）";
inline constexpr char kPreview[] = "预览";
inline constexpr char kPublish[] = "发布";
inline constexpr char kRepublish[] = "重新发布";

// Sign-in, refusals and errors.
inline constexpr char kCannotEnter[] = "无法进入";
inline constexpr char kRunCommand[] =
    "请在服务器上运行下面的命令，用它打印的地址打开这些页面（每个地址只能登录一次）：";
inline constexpr char kSignedOut[] = "已退出";
inline constexpr char kSignedOutSay[] =
    "这个浏览器上的登录已经结束。要再次进入，请在服务器上运行：";
inline constexpr char kDenied[] = "拒绝";
inline constexpr char kDatabaseDown[] = "数据库暂时无法使用：";
inline constexpr char kBadMark[] = "表单中的留言编号（id）或已读标记（read）不对。";
inline std::string noSuchComment(std::int64_t id) {
    return "没有第 " + std::to_string(id) + " 条留言。";
}
inline constexpr char kNoSuchPage[] = "没有这个页面";

// Notifications.
inline constexpr char kAlsoFlagged[] = "也通知疑似机器人的留言";
inline constexpr char kNotFlagged[] = "不通知疑似机器人的留言";
/// An e-mail recipient's SMTP server follows.
inline constexpr char kVia[] = "经 ";
inline std::string smtpUser(const std::string& user) {
    return "（用户 " + user + "）";
}
/// When a notification last arrived follows, or kNever.
inline constexpr char kLastDelivered[] = "上次送达：";
inline constexpr char kNever[] = "从未";
inline std::string pending(std::int64_t count) {
    return "待发送 " + std::to_string(count) + " 条";
}
inline std::string givenUp(std::int64_t count) {
    return "放弃 " + std::to_string(count) + " 条";
}
inline std::string failingFor(const std::string& since, std::int64_t failures) {
    return "自 " + since + " 起连续失败 " + std::to_string(failures) + " 次。";
}
/// The last error: when, then what.
inline std::string lastError(const std::string& when) {
    return "上次错误（" + when + "）：";
}
inline constexpr char kSendTest[] = "试发一条";
inline constexpr char kNotifyIntro[] = "每条新留言都会立即通知下列接收方；发送失败时会在一天内"
                                       "反复重试，间隔逐渐变长。密钥和密码保存后不再显示。";
inline constexpr char kNoAdminBase[] =
    "服务器启动时没有给出 --admin-base-url，通知中没有指向留言的链接。";
inline constexpr char kRecipients[] = "接收方";
inline constexpr char kNoRecipients[] = "还没有接收方：新留言不会通知任何人。";
inline constexpr char kAddWebhook[] = "添加 webhook";
inline constexpr char kWebhookUrl[] = "接收地址（URL）";
inline constexpr char kWebhookSecret[] = "签名密钥";
inline constexpr char kAddMail[] = "添加电子邮件";
inline constexpr char kMailAddress[] = "收件地址";
inline constexpr char kSmtpServer[] = "SMTP 服务器（smtps://… 或 smtp://…:587）";
inline constexpr char kSmtpUser[] = "SMTP 用户（可不填）";
inline constexpr char kSmtpPassword[] = "SMTP 密码（可不填）";
inline constexpr char kCaFile[] = "私有 CA 证书文件在服务器上的路径（可不填）";
inline constexpr char kRemoveRecipientTitle[] = "删除接收方";
inline std::string removeRecipientQuestion(const std::string& id) {
    return "删除接收方 #" + id + "？";
}
inline std::string removedWithIt(std::int64_t pending) {
    return "它待发送的 " + std::to_string(pending) + " 条通知也一并删除；以后的新留言不再通知它。";
}
inline constexpr char kRemoveRecipient[] = "删除这个接收方";
inline constexpr char kNoSuchRecipient[] = "没有这个接收方";
inline constexpr char kMayBeRemoved[] = "它可能已被删除。";
inline std::string commentNumber(const std::string& id) {
    return "第 " + id + " 条留言";
}

// The publisher's answer to a comment.
inline constexpr char kAnswerHeading[] = "回复";
/// The comments list's marks.
inline constexpr char kAnswered[] = "已回复";
inline constexpr char kDelivered[] = "已送达";
inline constexpr char kNotAnswerable[] =
    "这条留言无法回复：它来自 1.05 或更早的工具，或来自还不发回复代码的旧版网页表单，"
    "没有回复密钥。";
inline constexpr char kHeldNotAnswerable[] = "疑似垃圾留言放行后才能回复。";
inline constexpr char kAnswerLabel[] = "回复内容（最多 2000 字，纯文本）";
inline constexpr char kAnswerHint[] =
    "写信人下次启动工具时会看到这条回复，网页留言的写信人用回复代码在查询页面查看；"
    "工具显示之前可以修改或撤回（网页上查看不算送达）。回复不会公开，也不会记下对方的地址。";
inline constexpr char kSaveAnswer[] = "保存回复";
inline constexpr char kWithdrawAnswer[] = "撤回回复";
inline std::string answerDelivered(const std::string& time) {
    return "回复已于 " + time + " 送达写信人的工具，不能再修改或撤回。";
}
inline std::string answerWritten(const std::string& time) {
    return "回复写于 " + time + "，尚未送达。";
}

// The release history and the audit log.
/// A row kept from before the history began: no time, no source.
inline constexpr char kNoTime[] = "时间不详";
inline constexpr char kNoSource[] = "来源不详";
/// A row publishes (the version follows) or clears.
inline constexpr char kPublishes[] = "发布 ";
inline constexpr char kClears[] = "撤下";
inline constexpr char kLiveNow[] = "现在发布的就是它";
inline constexpr char kServedFile[] = "本服务器提供的文件";
/// Between a served file's name and its size.
inline constexpr char kListComma[] = "，";
inline constexpr char kHistoryTitle[] = "发布记录";
inline constexpr char kNoHistory[] = "还没有发布或撤下过版本。";
inline constexpr char kHistoryOrder[] =
    "最新的在前。“重新发布”按原样再发布那一行的内容，和上面的表单一样先检查。";
/// The history has more rows than shown; the command that lists them all
/// follows, after kAllRowsCommand.
inline std::string historyCut(std::int64_t total, std::size_t shown) {
    return "共 " + std::to_string(total) + " 条记录，这里只列出最新的 " + std::to_string(shown) +
           " 条；";
}
inline constexpr char kAllRowsCommand[] = "全部记录请在服务器上运行 ";
inline constexpr char kAuditIntro[] =
    "发布者做过的每个操作：发布、撤下、重新发布、删除留言、登录与退出、恢复备份等。"
    "记录只能追加，不能修改或删除。除登录时管理者自己的地址外，不记录任何访问者的地址。";
inline std::string auditCount(std::int64_t total, std::int64_t pageNo, std::int64_t pages) {
    return "共 " + std::to_string(total) + " 条，第 " + std::to_string(pageNo) + "/" +
           std::to_string(pages) + " 页";
}
inline constexpr char kNoAuditRows[] = "这一页没有记录。";
/// The admin's own address, on a login, follows.
inline constexpr char kFrom[] = "来自 ";
inline constexpr char kNewerPage[] = "上一页（较新）";
inline constexpr char kOlderPage[] = "下一页（较早）";

// The use page. Numbers come in as the page marks them up.
inline std::string checksChartTitle(std::int64_t most) {
    return "最近 30 天每天的更新检查次数，最多 " + std::to_string(most) + " 次";
}
/// A bar's tooltip: the date, then the count.
inline std::string dayChecks(const std::string& date, std::int64_t n) {
    return date + "：" + std::to_string(n) + " 次";
}
/// After today's date in a table.
inline constexpr char kToday[] = "（今天）";
inline std::string checksSummary(const std::string& total, const std::string& today) {
    return "最近 30 天共有 " + total + " 次更新检查到达服务器，其中今天到目前为止 " + today +
           " 次。";
}
inline constexpr char kDailyFigures[] = "逐日数字";
inline constexpr char kDateColumn[] = "日期";
inline constexpr char kCountColumn[] = "次数";
inline std::string versionsChartTitle(int days) {
    return "最近 " + std::to_string(days) + " 天每天的更新检查中各版本所占的比例（逐日数字见下表）";
}
/// About how many distinct clients checked today so far and yesterday.
inline std::string clientsToday(const std::string& n) {
    return "今天到目前为止约有 " + n + " 个";
}
inline std::string clientsYesterday(const std::string& n) {
    return "昨天约有 " + n + " 个";
}
inline constexpr char kClientsAfter[] = "不同的客户端检查更新。";
inline constexpr char kVersionsTitle[] = "各版本的比例";
inline constexpr char kDailyVersions[] = "逐日版本比例和不同的客户端";
inline constexpr char kChecksColumn[] = "检查次数";
inline constexpr char kClientsColumn[] = "不同的客户端（约）";
inline constexpr char kSharesColumn[] = "各版本的比例";
inline constexpr char kNoChecks[] = "没有更新检查";
/// A share: the percentage, then of how many checks.
inline std::string shareOfChecks(std::int64_t part, std::int64_t whole) {
    return "（" + std::to_string(whole) + " 次中 " + std::to_string(part) + " 次）";
}
inline constexpr char kNothingLive[] = "没有发布的版本";
/// What the networks outside the rollout get: the earlier version after
/// kGetEarlier, or kRestGetNothing.
inline constexpr char kGetEarlier[] = "收到 ";
inline constexpr char kAllNetworksGet[] = "所有网络都收到 ";
/// A halted release: kHaltedMark, the version, then what all networks get.
inline constexpr char kHaltedMark[] = "已暂停";
inline constexpr char kHaltedAllNetworks[] = "（0%）：所有网络都";
inline std::string stagedRollout(int percent, const std::string& version) {
    return "分阶段发布：" + std::to_string(percent) + "% 的网络收到 " + version + "，其余的";
}
/// The day a release was published, before when it passed half.
inline std::string publishedOn(const std::string& date) {
    return date + " 发布，";
}
inline std::string passedHalf(const std::string& days, const std::string& date) {
    return "发布后 " + days + " 天过半（" + date + "）";
}
inline constexpr char kNotHalfYet[] = "尚未过半";
inline constexpr char kNewestTitle[] = "最新版本的用户比例";
inline constexpr char kNothingLiveNow[] = "现在没有发布的版本。";
inline std::string stagedShare(int percent) {
    return "（分阶段：" + std::to_string(percent) + "% 的网络）";
}
inline constexpr char kNewestCaption[] =
    "各平台的发布状态，和最新版本在该平台的更新检查中所占的比例";
inline constexpr char kStateRow[] = "发布状态";
inline constexpr char kNewestRow[] = "最新版本";
inline constexpr char kTodayRow[] = "今天（到目前为止）";
inline constexpr char kYesterdayRow[] = "昨天";
inline constexpr char kHalfRow[] = "用户过半";
inline constexpr char kNewestNote[] =
    "最新版本是正在发布的版本：分阶段发布时也算，并标出收到它的网络比例；暂停后改看所有网络收到的"
    "版本。没有标明平台的更新检查（早先发布、不发送 User-Agent 的工具）按 Windows 工具答复，也算在 "
    "Windows 里。过半看的是整天的数字。";
/// Which networks are offered a release now, after its version.
inline constexpr char kAllNetworks[] = "（所有网络）";
inline constexpr char kHaltedNetworks[] = "（已暂停）";
inline std::string shareOfNetworks(int percent) {
    return "（" + std::to_string(percent) + "% 的网络）";
}
inline constexpr char kOtherNetworks[] = "（其余网络）";
inline constexpr char kOffersTitle[] = "提供与下载";
inline std::string noOffersIn(int days) {
    return "最近 " + std::to_string(days) + " 天没有向工具提供过新版本，也没有完成的下载。";
}
/// A table's caption (today's, or the days') says it had none.
inline constexpr char kNoOffersThen[] = "：没有向工具提供过新版本，也没有完成的下载。";
inline constexpr char kByRelease[] = "，按发布的版本";
inline constexpr char kPlatformColumn[] = "平台";
inline constexpr char kVersionColumn[] = "版本";
inline constexpr char kOffersColumn[] = "提供";
inline constexpr char kDownloadsColumn[] = "完成的下载";
inline constexpr char kTodaySoFar[] = "今天到目前为止";
inline std::string lastDays(int days) {
    return "最近 " + std::to_string(days) + " 天";
}
inline constexpr char kOffersNote[] =
    "提供：答复了比工具自己的版本更新的版本；已经是这个版本的工具检查更新时也收到它，但不算提供。"
    "下载：完整下载了文件，每个网络每个版本每天只算一次。";
/// Where the versions come from: the label of the early tools goes between.
inline constexpr char kVersionsNoteBefore[] =
    "版本来自工具的 User-Agent；早先发布、不发送它的工具（1.05 及更早）记为“";
inline constexpr char kVersionsNoteAfter[] =
    "”。不同的客户端按网络（IPv4 /24、IPv6 /48）和平台估算，服务器不保存任何地址。";

// The public site.
/// The lookup page's title and heading, and the tail of every other public
/// page's title.
inline constexpr char kLookupTitle[] = "佳能镜头生产日期查询";
/// The answer's heading, after a code was asked and before.
inline constexpr char kAnswerTitle[] = "查询结果";
inline constexpr char kStartTitle[] = "说明";
/// A download line: the version, then platform and size in brackets.
inline constexpr char kDownload[] = "下载 Pelvoran ";
inline constexpr char kHashLabel[] = "SHA-256：";
/// The comment form's field for bots, hidden from people.
inline constexpr char kTrapLabel[] = "请勿填写此项";
inline constexpr char kCommentThanks[] = "留言已收到，谢谢！";
/// The receipt of a comment from the form: the code, and what it is for.
inline constexpr char kReplyCodeIs[] = "回复代码：";
inline constexpr char kReplyCodeUse[] =
    "发布者如有回复，可在本页“查看回复”处输入这个代码查看。代码只显示这一次，"
    "请抄下或截图保存；不要告诉别人。";
// Reading an answer with the code.
inline constexpr char kReplyTitle[] = "查看回复";
inline constexpr char kReplyCodeLabel[] = "回复代码（留言后显示的 16 位代码）";
inline constexpr char kReplyButton[] = "查看回复";
inline constexpr char kYourComment[] = "您的留言";
inline constexpr char kPublishersAnswer[] = "发布者的回复";
/// The same whether the code is unknown, its comment unanswered, held or too
/// old: the page says nothing of which.
inline constexpr char kNoAnswer[] = "这个代码目前没有可查看的回复。";
inline constexpr char kBackToLookup[] = "回到佳能镜头生产日期查询";

/// A public error page: its title, what went wrong, what to do.
struct ErrorWords {
    const char* title;
    const char* what;
    const char* todo;
};
inline constexpr ErrorWords kBadRequest{"请求有误", "请求有误。", "请检查地址后重试。"};
inline constexpr ErrorWords kNotFound{"没有这个页面", "没有这个页面。", "请检查地址是否输入正确。"};
inline constexpr ErrorWords kBadMethod{"不支持这个请求方法", "不支持这个请求方法。",
                                       "这个地址只能用浏览器直接打开（GET 或 HEAD）。"};
/// 413: the limit goes between kTooLarge.what and kTooLargeAfter.
inline constexpr ErrorWords kTooLarge{"请求太大", "请求太大，最多 ", "请缩短内容后重试。"};
inline constexpr char kTooLargeAfter[] = "。";
inline constexpr ErrorWords kHeadersTooLarge{"请求头太大", "请求头太大。", "请缩短地址后重试。"};
inline constexpr ErrorWords kBusy{"服务器繁忙", "服务器暂时无法处理这个请求。", "请稍后重试。"};
inline constexpr ErrorWords kOtherError{"出错了", "出错了。", "请稍后重试。"};

// Deleting comments.
inline constexpr char kCancel[] = "取消";
/// Said before every deletion.
inline constexpr char kGoneForGood[] =
    "删除后无法恢复：留言从数据库文件中抹去，不只是隐藏。每日备份（状态目录中的 "
    "backups）仍保留它，直到七天后轮换掉。";
inline constexpr char kDeleteCommentTitle[] = "删除留言";
inline std::string deleteCommentQuestion(const std::string& id) {
    return "删除第 " + id + " 条留言？";
}
inline constexpr char kDeleteThisComment[] = "删除这条留言";
inline constexpr char kDeleteFlaggedTitle[] = "删除疑似机器人留言";
inline std::string deleteFlaggedQuestion(const std::string& count) {
    return "删除全部 " + count + " 条疑似机器人留言？";
}
inline std::string deleteTheseComments(const std::string& count) {
    return "删除这 " + count + " 条留言";
}
inline constexpr char kDeletedTitle[] = "已删除";
inline std::string deletedComments(std::int64_t count) {
    return "已删除 " + std::to_string(count) + " 条留言";
}
/// The deleted words may still be in the WAL (its file's name between the
/// two); the command that restarts the server follows in brackets.
inline constexpr char kStillInWalBefore[] = "数据库正被读取，预写日志（";
inline constexpr char kStillInWalAfter[] =
    "）中可能还留着删除的文字。服务器停止时会抹去它；如果这很要紧，请重启服务器";
inline constexpr char kStillInTables[] =
    "整理 PostgreSQL 的表（VACUUM FULL）没有在时限内完成，表文件中暂时还留着删除的文字"
    "（原因见服务器日志）。下次删除时会再整理；如果这很要紧，请在服务器空闲时在数据库中运行";
inline constexpr char kBackToComments[] = "回到留言";
inline constexpr char kErrorTitle[] = "出错了";
inline constexpr char kBadCommentId[] = "表单中的留言编号（id）不对。";
/// "Go back to the page (a link) and reload": the link's words between.
inline constexpr char kBackToPage[] = "请回到";
inline constexpr char kReloadAndRetry[] = "页面刷新后重试。";

} // namespace pelvoran::server::page_text
