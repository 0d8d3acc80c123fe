#pragma once

// What serve says: its log lines, and the desktop tool's and the web
// form's answers when a comment is refused or kept. A message with parts is
// a function that puts them in place.

#include "server/engine/engine_texts.h"
#include "server/engine/store_error.h"
#include "server/upkeep/database_checks.h"
#include "server/upkeep/upkeep_texts.h"

#include <cstddef>
#include <string>

namespace pelvoran::server::daemon_text {

// The log, as serve starts and each minute.
/// The tools of a platform, as the log names them.
inline std::string platformTools(const std::string& platform) {
    return platform + " 工具";
}
inline std::string nothingOffered(const std::string& tools) {
    return "没有给 " + tools + "发布的版本：这些工具不会提示更新";
}
inline std::string offered(const std::string& tools, const std::string& version,
                           const std::string& address) {
    return tools + "的更新检查答复的版本：" + version + "，下载地址 " + address;
}
/// After offered(), below 100 %; the rest of the networks get `restVersion`
/// when `restGetOne`.
inline std::string offeredInPart(int percent, const std::string& restVersion, bool restGetOne) {
    return "；分阶段发布，" + std::to_string(percent) + "% 的网络收到它，其余的" +
           (restGetOne ? "收到 " + restVersion : "不提示更新");
}
inline std::string cannotNoteAdminAddress(const std::string& why) {
    return "无法记下管理页面的地址（admin-url 因此给不出地址）：" + why;
}
/// The state directory's public key and the one the database shares differ.
inline std::string publicKeysDiffer(const std::string& file) {
    return "状态目录中的公钥 " + file +
           " 与同一数据库上其它服务器的不同：工具只认一把钥匙签的版本。请把其"
           "它服务器状态目录中的 " +
           file + " 复制到这里（或删去这里的，由数据库中的那把代替），再启动。";
}
inline std::string commentsNotSaved(std::size_t comments, std::size_t transactions,
                                    const std::string& reason) {
    return "过去一分钟未能保存的留言：" + std::to_string(comments) + " 条（" +
           std::to_string(transactions) + " 次提交失败），最后一次的原因：" + reason;
}
inline std::string tooFewFiles(const std::string& limit, const std::string& connections) {
    return "可打开的文件数上限只有 " + limit + "，不够 " + connections +
           " 个连接：请调高 LimitNOFILE 或减小 --max-connections";
}
/// `what`: onOneMachine()'s account of the standbys.
inline std::string oneMachineWarning(const std::string& what) {
    return "警告：仅一台机器：" + what;
}
inline std::string cannotOpenState(const std::string& state, const std::string& why) {
    return "无法打开状态目录 " + state + " 中的数据：" + why;
}
/// `location` as shown, without the password.
inline std::string passwordInLocation(const std::string& location) {
    return "连接串 " + location + " 含有密码：命令行上的密码，本机任何用户都能用 ps 看到。" +
           engine_text::kPasswordElsewhere;
}
/// A connection string refused, as the one who typed it reads it.
inline std::string locationRefused(const LocationRefused& e) {
    if (e.reason() == LocationRefused::Reason::Password)
        return passwordInLocation(e.location());
    return e.what();
}
/// The daily check found damage it cannot mend: no backup that day.
inline std::string dailyDamaged(const DatabaseFileRefused& e) {
    return upkeep_text::dailyDamaged(e.file(), e.detail()) + "请停止服务，从 " + e.backups() +
           " 中的备份恢复（pelvoran-server restore）。";
}
inline std::string cannotNoteSalt(const std::string& why) {
    return "无法记下今天的客户端计数密钥：" + why;
}
inline std::string cannotServeDownload(const std::string& path, const std::string& why) {
    return "无法提供下载 " + path + "：" + why;
}
/// The admin pages' address and the command that signs in (printf: the
/// address, then the command).
inline constexpr char kAdminPagesFormat[] = "管理页面：http://%s/（登录地址：%s）\n";
inline std::string dailyBackupsCannotStart(const std::string& why) {
    return "每日备份无法开始：" + why;
}
inline std::string cannotReadReleases(const std::string& why) {
    return "无法读取发布的版本：" + why;
}
/// `counts`: by status, as refusalsSince() writes them.
inline std::string commentsRefused(const std::string& counts) {
    return "过去一分钟拒绝的留言（按状态）：" + counts;
}
inline std::string cannotNoteUse(const std::string& why) {
    return "无法记下使用次数：" + why;
}

// The answers to a comment.
inline constexpr char kTooFrequent[] = "留言太频繁，请稍后再试。";
/// The desktop tool's answers, a line each.
inline std::string requestTooLarge(const std::string& largest) {
    return "请求太大，最多 " + largest + "。\n";
}
inline std::string mustBeginWith(const std::string& field) {
    return "请求须以“" + field + "”开头。\n";
}
inline constexpr char kEmptyComment[] = "留言为空。\n";
inline constexpr char kNotStored[] = "留言未能保存，请稍后重试。\n";
inline constexpr char kStored[] = "留言已收到。\n";
/// A fetch or confirmation of answers not as the tools send it.
inline constexpr char kBadAnswerRequest[] = "请求格式不对：每行一个回复密钥，最多 20 行。\n";
inline constexpr char kAnswersTooFrequent[] = "查询回复太频繁，请稍后再试。\n";
inline constexpr char kAnswersBusy[] = "服务器正忙";
inline std::string answersUnavailable(const std::string& why) {
    return "暂时无法查询回复：" + why + "\n";
}
/// The web form's, above the comment it gives back.
inline std::string commentTooLong(const std::string& largest) {
    return "留言太长，最多 " + largest + "。";
}
inline constexpr char kStillBelow[] = "您的留言还在下面。";
/// The lookup page's reply form, above the code it gives back.
inline constexpr char kBadReplyCode[] =
    "回复代码不对：应为 16 位字母和数字（如 7K3M-Q9XA-2BFD-8W1C），不含字母 U，"
    "横线和空格可以省略。请核对后重新输入。";
inline constexpr char kReplyTooFrequent[] = "查看回复太频繁，请稍后再试。";
inline constexpr char kNotStoredBelow[] = "留言未能保存，请稍后重试。您的留言还在下面。";

} // namespace pelvoran::server::daemon_text
