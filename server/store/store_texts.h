#pragma once

// What the stores say: the audit log's actions and details, and the
// refusals and failures of storing files and comments. A message with parts
// is a function that puts them in place.

#include <cstdint>
#include <string>

namespace pelvoran::server::store_text {

/// Where a publisher's action was taken: the release history and the audit
/// log keep these words.
inline constexpr char kByCommandLine[] = "命令行";
inline constexpr char kByPages[] = "管理页面";

// The audit log: what was done, and the detail after it.
inline constexpr char kMarkedAllRead[] = "全部标为已读";
inline std::string unreadComments(std::int64_t count) {
    return std::to_string(count) + " 条未读留言";
}
inline constexpr char kDeletedComments[] = "删除留言";
inline constexpr char kDeletedFlagged[] = "删除疑似机器人留言";
/// A comment held as likely spam let through; its number follows.
inline constexpr char kApprovedHeld[] = "放行疑似垃圾留言";
/// The publisher's answer to a comment, its number after.
inline constexpr char kAnswerWritten[] = "回复留言";
inline constexpr char kAnswerEdited[] = "修改回复";
inline constexpr char kAnswerWithdrawn[] = "撤回回复";
inline std::string commentCount(std::int64_t count) {
    return std::to_string(count) + " 条";
}
/// publish()'s action unless the caller names another.
inline constexpr char kPublished[] = "发布";
/// After the version, below 100 %; `percent` as percentText() gives it.
inline std::string rolledOutTo(const std::string& percent) {
    return "，分阶段发布：" + percent + " 的网络";
}
inline std::string releaseFile(const std::string& name, const std::string& sha256) {
    return "（文件 " + name + "，SHA-256 " + sha256 + "）";
}
inline constexpr char kCleared[] = "撤下";
inline std::string clearedVersion(const std::string& version) {
    return "撤下了 " + version;
}
/// `label` is the platform's with a space after it, or empty for Windows.
inline std::string nothingToClear(const std::string& label) {
    return label + "本来就没有发布的版本";
}
inline constexpr char kHalted[] = "暂停发布";
inline constexpr char kRolledOut[] = "分阶段发布";

// The comment writer's answers when it could not tell or did not try.
/// Why comments were answered "not stored" without being sent.
inline constexpr char kLate[] = "排在前面的提交没有及时结束，留言没有送到数据库";
inline constexpr char kPreviousCommitRunning[] =
    "上一次提交的数据库进程还在运行，还不知道它是否保存了留言";
/// kPreviousCommitRunning as the writer of a comment is told it.
inline constexpr char kPreviousCommitUnknown[] = "上一次提交的结果还不知道";
inline std::string uncertainCommitUnknown(const std::string& why) {
    return "无法查明不确定的提交是否已保存留言：" + why;
}

// The release files kept in the database: what the log is told; the
// options that change a limit are the command line's to name.
inline std::string cannotRead(const std::string& file, const std::string& why) {
    return "无法读取 " + file + "：" + why;
}
inline std::string notARegularFile(const std::string& file) {
    return file + " 不是普通文件";
}
inline std::string fileTooLarge(const std::string& file, std::int64_t size, std::uint64_t maxSize) {
    return file + " 有 " + std::to_string(size) + " 字节，超过上限 " + std::to_string(maxSize) +
           " 字节";
}
inline std::string changedWhileRead(const std::string& file) {
    return file + " 在读取时变了：请等它写完再发布";
}
inline std::string deletedWhileStored(const std::string& file) {
    return file + " 的数据在写入时被删除了：请重新发布";
}
inline std::string noSuchFile(const std::string& sha256) {
    return "数据库中没有文件 " + sha256;
}
inline std::string cannotWrite(const std::string& file, const std::string& why) {
    return "无法写入 " + file + "：" + why;
}
inline std::string fileIncomplete(const std::string& sha256) {
    return "数据库中的文件 " + sha256 + " 不完整";
}
inline std::string wrongDigestAfterWrite(const std::string& file) {
    return file + " 写入后的 SHA-256 不对：磁盘可能有问题";
}

// Field counts' digests and salts.
inline constexpr char kCannotDigest[] = "无法计算 SHA-256 摘要（OpenSSL）";
inline constexpr char kNoRandomBytes[] = "无法取得随机数（OpenSSL）";

/// A notification's kind as the publisher reads it.
inline constexpr char kEmail[] = "电子邮件";

} // namespace pelvoran::server::store_text
