#pragma once

// What backups, restores, the checks of a database file and the health
// probe say: the refusals, the log lines and the health page's answer. A
// message with parts is a function that puts them in place.

#include <cstdint>
#include <string>

namespace pelvoran::server::upkeep_text {

// The state files a backup carries, and the backups themselves.
inline std::string cannotRead(const std::string& file, const std::string& why) {
    return "无法读取 " + file + "：" + why;
}
inline std::string notOurStateFile(const std::string& file) {
    return file + " 不是本程序写的文件（不是普通文件，或大于 64 KiB）";
}
inline std::string cannotOpenDirectory(const std::string& dir, const std::string& why) {
    return "无法打开目录 " + dir + "：" + why;
}
inline std::string cannotOpen(const std::string& file, const std::string& why) {
    return "无法打开 " + file + "：" + why;
}
inline std::string cannotWrite(const std::string& file, const std::string& why) {
    return "无法写入 " + file + "：" + why;
}
inline std::string cannotCreate(const std::string& file, const std::string& why) {
    return "无法创建 " + file + "：" + why;
}
inline std::string cannotMove(const std::string& file, const std::string& why) {
    return "无法移动 " + file + "：" + why;
}
inline std::string cannotCreateDirectory(const std::string& dir, const std::string& why) {
    return "无法创建目录 " + dir + "：" + why;
}
/// The daily check mended damaged indexes; `aside` is the copy made first.
inline std::string dailyIndexesMended(const std::string& file, const std::string& problem,
                                      const std::string& aside) {
    return "每日检查发现数据库文件 " + file + " 的索引与表不符（" + problem +
           "），表中的数据完好：已重建全部索引，完整检查无误。重建前的数据库保存为 " + aside +
           "，确认无误后可以删除它。";
}
/// The daily check found damage it cannot mend: no backup that day.
inline std::string dailyDamaged(const std::string& file, const std::string& problem) {
    return "每日检查发现数据库文件 " + file + " 已损坏（" + problem +
           "）：今天没有做备份，以免损坏的副本挤掉完好的备份。";
}
inline std::string dailyBackupFailed(const std::string& why) {
    return "每日备份失败：" + why;
}

// The database file checked as serve starts (or a command opens it): what
// the log is told; what to do is the command line's to say.
/// Damaged indexes mended as serve starts; `aside` is the copy made first.
inline std::string indexesMended(const std::string& file, const std::string& problem,
                                 const std::string& aside) {
    return "数据库文件 " + file + " 的索引与表不符（" + problem +
           "），表中的数据完好：已重建全部索引，完整检查无误，照常启动。重建前的数据库保存为 " +
           aside + "，确认无误后可以删除它。";
}
inline std::string emptyDatabaseFile(const std::string& file) {
    return "数据库文件 " + file + " 是空的（0 字节），已被清空。";
}
inline std::string cannotOpenDatabaseFile(const std::string& file, const std::string& why) {
    return "无法打开数据库文件 " + file + "：" + why;
}
inline std::string readOnlyDatabaseFile(const std::string& file) {
    return "数据库文件 " + file + " 是只读的，服务器无法保存留言。";
}
inline std::string notOurDatabaseFile(const std::string& file, const std::string& reason) {
    return "数据库文件 " + file + " 不是本程序的数据库文件（" + reason + "），服务器不会使用它。";
}
inline std::string damagedDatabaseFile(const std::string& file, const std::string& problem) {
    return "数据库文件 " + file + " 已损坏（" + problem + "），服务器不会使用它。";
}
inline std::string cannotCheckDatabaseFile(const std::string& file, const std::string& why) {
    return "无法检查数据库文件 " + file + "：" + why;
}
/// What newerSchemaText() names as the database of a newer server.
inline std::string databaseFileNamed(const std::string& file) {
    return "数据库文件 " + file;
}

// The health probe: the log and the answer of the health page.
/// Comments kept on one machine only: no synchronous standby set, or
/// `names` set and none of them connected.
inline std::string onOneMachine(const std::string& names) {
    return names.empty()
               ? "PostgreSQL 没有设置同步备机（synchronous_standby_names 为空），留言只保存在"
                 "一台机器上，这台机器的磁盘坏了就会丢失。"
               : "同步备机（" + names +
                     "）没有连接，或服务器的数据库用户没有 pg_monitor 角色而看不到它：留言提交时"
                     "会一直等它，直到写入留言的时限到了才答复失败。";
}
inline constexpr char kWritableAgain[] = "数据库又可以写入了，留言可以保存";
inline std::string unwritable(const std::string& why) {
    return "数据库现在无法写入，留言存不下：" + why;
}
inline constexpr char kNotCheckedYet[] = "还没有检查过数据库。\n";
/// The health page's last line: how old the look it answers from is.
inline std::string checkedAgo(long long seconds) {
    return "（" + std::to_string(seconds) + " 秒前检查）\n";
}
/// The probe's look took longer than it may.
inline constexpr char kNoAnswer[] = "数据库没有答复（检查一直没有结束）";
inline std::string onOneMachineLine(const std::string& why) {
    return "仅一台机器：" + why + "\n";
}
inline std::string lastCommitFailed(const std::string& why) {
    return "上一次保存留言失败（" + why + "），之后还没有留言保存成功。\n";
}
inline std::string lowRoom(std::uint64_t kib) {
    return "空间不多：状态目录所在的文件系统只剩 " + std::to_string(kib) +
           " KiB，一条最长的留言约需 4 MiB。请腾出空间。\n";
}
inline std::string stateDirUnwritable(const std::string& why) {
    return "状态目录不可写（" + why + "）";
}
inline std::string databaseFileUnwritable(const std::string& file, const std::string& why) {
    return "数据库文件 " + file + " 不可写（" + why + "）";
}
// The step of a look that failed, said before why.
inline constexpr char kCannotOpenDatabase[] = "无法打开数据库";
inline constexpr char kCannotBeginWrite[] = "无法开始写事务";
inline constexpr char kCannotReadStandbys[] = "无法读取同步备机的状态";

// Restores: a backup refused, and a PostgreSQL database written from one;
// what the log is told, as for the database file.
inline std::string notOurDatabase(const std::string& backup) {
    return backup + " 不是 pelvoran-server 的数据库";
}
/// `what` is what the backup holds by the table's name instead.
inline std::string notATable(const std::string& backup, const std::string& name,
                             const std::string& what) {
    return backup + " 中的 " + name + " 不是表（是 " + what +
           "）：这不是本程序做的备份，本程序不会读它";
}
inline constexpr char kVirtualTable[] = "虚拟表";
inline std::string serversConnected(const std::string& database) {
    return "有服务器正连着 PostgreSQL 数据库 " + database + "：恢复会替换它们正在用的数据。";
}
inline std::string databaseNotEmpty(const std::string& database, const std::string& table,
                                    std::int64_t rows) {
    return "PostgreSQL 数据库 " + database + " 中已有数据（表 " + table + " 有 " +
           std::to_string(rows) + " 行）：恢复只写入空的数据库。";
}
inline std::string rowsDiffer(const std::string& table, std::int64_t copied, std::int64_t found) {
    return "表 " + table + " 写入了 " + std::to_string(copied) + " 行，PostgreSQL 中却有 " +
           std::to_string(found) + " 行：没有恢复";
}
/// The audit log's action for a restore.
inline constexpr char kRestoredAction[] = "恢复";
inline std::string damagedBackup(const std::string& backup, const std::string& problem) {
    return backup + " 不是完好的数据库（" + problem + "）";
}
inline std::string tableMissing(const std::string& backup, const std::string& table) {
    return backup + " 不是 pelvoran-server 的数据库（没有表 " + table + "）";
}
inline std::string tableDiffers(const std::string& backup, const std::string& table,
                                const std::string& why) {
    return backup + " 中的表 " + table + " 与本程序的不符（" + why + "）";
}
inline std::string orphanRow(const std::string& backup, const std::string& table,
                             const std::string& parent) {
    return backup + " 中的数据前后不符（表 " + table + " 中有一行指向表 " + parent +
           " 中不存在的一行）";
}
inline std::string stateFilesTooLarge(const std::string& backup) {
    return backup + " 的 state_files 大得不像本程序写的：本程序不会读它";
}

} // namespace pelvoran::server::upkeep_text
