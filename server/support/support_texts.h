#pragma once

// The support room's words: why a system call failed, as the publisher
// reads it, and the failures of files and digests.

#include <string>

namespace pelvoran::server::support_text {

// The causes of systemErrorText(), by errno.
inline constexpr char kSystemError[] = "系统出错";
inline constexpr char kNoPermission[] = "权限不够，请用 sudo 运行";
inline constexpr char kDiskFull[] = "磁盘已满，请腾出空间后重试";
inline constexpr char kNoSuchPath[] = "不存在，请检查路径是否写错";
inline constexpr char kNotDirectory[] = "路径中有一项不是目录";
inline constexpr char kIsDirectory[] = "这是目录，而不是文件";
inline constexpr char kReadOnly[] = "所在的文件系统是只读的";
inline constexpr char kExists[] = "已存在";
inline constexpr char kDiskError[] = "磁盘读写出错，请检查磁盘";
inline constexpr char kLocked[] = "被另一个进程锁住，请稍后重试";
inline constexpr char kTooManyFiles[] = "打开的文件太多";
inline constexpr char kNoMemory[] = "内存不够";

// Files.
inline std::string cannotSync(const std::string& file, const std::string& why) {
    return "无法把 " + file + " 写入磁盘：" + why;
}
inline std::string cannotReadCopied(const std::string& why) {
    return "无法读取要复制的文件：" + why;
}
inline std::string cannotWrite(const std::string& file, const std::string& why) {
    return "无法写入 " + file + "：" + why;
}

/// The version label that counts every series beyond the bound.
inline constexpr char kOtherVersions[] = "其他";
inline constexpr char kDigestFailed[] = "无法计算 SHA-256 摘要（OpenSSL）";

} // namespace pelvoran::server::support_text
