#pragma once

// What the database engines say when a database fails or refuses: the
// reasons SQLite's and PostgreSQL's errors are given in, and how a
// PostgreSQL database is named. A message with parts is a function that
// puts them in place. The trigger messages of the schema stay in its SQL.

#include <cstdint>
#include <string>

namespace pelvoran::server::engine_text {

// What anyone may read of a failure (/healthz): never where the database
// is, nor the server's own words.
inline constexpr char kCannotConnect[] = "数据库无法连接";
inline constexpr char kNoAnswer[] = "数据库没有答复";
inline constexpr char kLost[] = "与数据库的连接断了";
inline constexpr char kTooSlow[] = "数据库没有在限时内完成";
inline constexpr char kLocked[] = "数据库被另一个进程锁住";
inline constexpr char kFailed[] = "数据库出错";
inline constexpr char kRolledBack[] = "数据库回滚了这次事务";
inline constexpr char kUnconfirmed[] = "提交没有在限时内得到同步备机的确认";

// SQLite's errors, each with SQLite's own words after it.
inline constexpr char kOutOfMemory[] = "内存不够";
inline constexpr char kDiskError[] = "磁盘读写出错，请检查磁盘";
inline constexpr char kCannotOpen[] = "无法打开";
inline constexpr char kNoPermission[] = "权限不够，请用 sudo 运行";
inline constexpr char kReadOnly[] =
    "文件是只读的，运行的用户无法写入：请用 sudo 运行，或让所有者可以写入它";
inline constexpr char kDiskFull[] = "磁盘已满，请腾出空间后重试";
inline constexpr char kNotOurDatabase[] = "不是本程序的数据库文件";
inline constexpr char kCorrupt[] = "数据库已损坏，请从备份恢复";
inline constexpr char kLockedTryLater[] = "数据库被另一个进程锁住，请稍后重试";
/// A reason, then the engine's or the system's words after it.
inline std::string withDetail(const std::string& reason, const std::string& detail) {
    return reason + "（" + detail + "）";
}

// A PostgreSQL database as the publisher reads it named.
inline constexpr char kDefaultSocket[] = "（本机默认的套接字）";
inline constexpr char kDefaultDatabase[] = "（默认数据库）";
inline std::string service(const std::string& name) {
    return "（服务 " + name + "）";
}
inline constexpr char kUnparsableLocation[] = "postgresql://…（连接串无法解析）";

// PostgreSQL's connections and statements.
/// Why a connection string is refused when libpq gives no reason.
inline constexpr char kCannotParse[] = "无法解析";
inline std::string badLocation(const std::string& why) {
    return "PostgreSQL 连接串有误（" + why +
           "）：请写成 "
           "postgresql://用户@主机:端口/数据库 的形式。";
}
/// Where a password goes instead of the connection string.
inline constexpr char kPasswordElsewhere[] =
    "请把它从连接串中去掉，写进 libpq 的服务文件（Debian 上是 /etc/postgresql-common/"
    "pg_service.conf，只让 root 和服务器的用户可读），在连接串中用 service= "
    "指明；或写进 PGPASSFILE 指向的密码文件。";
inline std::string passwordInLocation(const std::string& location) {
    return "连接串 " + location + " 含有密码：" + kPasswordElsewhere;
}
inline std::string cannotStartThread(const std::string& why) {
    return "无法连接 PostgreSQL 数据库：无法创建线程（" + why + "）";
}
inline std::string stillConnecting(const std::string& database) {
    return "PostgreSQL 数据库 " + database + " 没有在限时内接受连接（仍在连接，下次接着等它）";
}
inline std::string cannotConnect(const std::string& database, const std::string& why) {
    return "无法连接 PostgreSQL 数据库 " + database + "（" + why + "）";
}
inline std::string lostInTransaction(const std::string& database) {
    return "与 PostgreSQL 数据库 " + database +
           " 的连接在事务中断了：这次的改动没有提交，下次会重新连接";
}
inline std::string lost(const std::string& database, const std::string& why) {
    return "与 PostgreSQL 数据库 " + database + " 的连接断了，下次会重新连接（" + why + "）";
}
inline std::string cancelled(const std::string& why) {
    return "PostgreSQL 没有在限时内完成，已取消（" + why + "）";
}
inline std::string failed(const std::string& why) {
    return "PostgreSQL 出错（" + why + "）";
}
inline std::string commitUnanswered(const std::string& database) {
    return "PostgreSQL 数据库 " + database +
           " 没有答复提交，也没有答复取消：连接已放弃，不知道是否已提交，"
           "下次会重新连接";
}
inline constexpr char kRolledBackEarlier[] =
    "PostgreSQL 回滚了这次事务（之前的一条语句失败了），没有保存任何内容";
inline constexpr char kCommitNotConfirmed[] =
    "提交没有在限时内返回，已取消：同步备机没有确认（已在主机本地提交）";
inline std::string statementUnanswered(const std::string& database) {
    return "PostgreSQL 数据库 " + database +
           " 没有在限时内答复，也没有答复取消：连接已放弃，下次会重新连接";
}
inline std::string restNotSent(const std::string& database) {
    return "PostgreSQL 数据库 " + database + " 没有在限时内完成，余下的语句没有发送";
}
/// `tables` as VACUUM (FULL) takes them.
inline std::string vacuumNotDone(const std::string& why, const std::string& tables) {
    return "删除已完成，但 PostgreSQL 的表文件中暂时还留着删除的文字：整理表（VACUUM "
           "FULL）没有完成（" +
           why + "）。下次删除时会再整理；如果这很要紧，请在数据库中运行 VACUUM (FULL) " + tables +
           "。";
}

// The schema.
/// What newerSchema() names when it is not a file.
inline constexpr char kDatabase[] = "数据库";
inline std::string newerSchema(const std::string& what, std::int64_t schema, std::int64_t known) {
    return what + " 来自更新版本的服务器（数据库格式 " + std::to_string(schema) +
           "，本程序只认到 " + std::to_string(known) + "）：请升级 pelvoran-server 后再用它。";
}
inline std::string otherTables(const std::string& example) {
    return "数据库中已有别的表（例如 " + example +
           "），却没有 pelvoran-server 的：这不是本程序的数据库，本程序不会"
           "在其中建表。请为它建一个空的数据库（createdb），再用它的连接串。";
}

} // namespace pelvoran::server::engine_text
