#pragma once

// What the commands say to the publisher on the terminal: the usage, the
// refusals and the reports. A message with parts is a function that puts
// them in place.

#include "server/admin/admin_texts.h"
#include "server/daemon/daemon_texts.h"
#include "server/engine/store_error.h"
#include "server/store/download_store.h"
#include "server/store/store_texts.h"
#include "server/upkeep/database_checks.h"
#include "server/upkeep/store_restore.h"
#include "server/upkeep/upkeep_texts.h"

#include <cstdint>
#include <string>

namespace pelvoran::server::cli_text {

// The usage: every command, as --help prints it.
inline constexpr char kUsageHeading[] = "用法：\n";
inline constexpr char kUsage[] =
    "用法：\n"
    "  pelvoran-server serve   [--state DIR] [--listen HOST:PORT]... [--admin-listen HOST:PORT]"
    " [--trusted-proxy ADDR]\n"
    "                          [--public-prefix /PATH/]"
    " [--comments-per-hour N] [--comment-bytes-per-hour SIZE]\n"
    "                          [--max-connections N]"
    " [--head-timeout SECONDS] [--body-timeout SECONDS]\n"
    "                          [--idle-timeout SECONDS] [--min-body-rate SIZE]"
    " [--body-budget SIZE]\n"
    "                          [--busy-timeout MILLISECONDS]"
    " [--admin-base-url URL] [--notify-retry-ms MILLISECONDS]\n"
    "                          [--max-download-size SIZE]"
    " [--database postgresql://…]\n"
    "  pelvoran-server release show|clear|history|prune-files [--state DIR] [--database URI]"
    " [--platform windows|linux]\n"
    "  pelvoran-server release set [--state DIR] [--database URI] --version 1.06 --address URL "
    "--date TEXT"
    " --notes TEXT\n"
    "                              [--sign-with KEYFILE | --signature SIG]\n"
    "                              [--platform windows|linux] [--rollout PERCENT]\n"
    "  pelvoran-server release set [--state DIR] [--database URI] --version 1.06 --file PATH "
    "[--file-name NAME]"
    " --date TEXT --notes TEXT\n"
    "                              [--download-base URL] [--max-download-size SIZE]"
    " [--sign-with KEYFILE | --signature SIG]\n"
    "                              [--platform windows|linux] [--rollout PERCENT]\n"
    "  pelvoran-server release rollout PERCENT [--state DIR] [--database URI] [--platform "
    "windows|linux]\n"
    "  pelvoran-server release halt [--state DIR] [--database URI] [--platform windows|linux]\n"
    "  pelvoran-server release sign --key KEYFILE --version 1.06 --address URL --date TEXT"
    " --notes TEXT\n"
    "  pelvoran-server key create FILE [--state DIR]\n"
    "  pelvoran-server key create --state DIR\n"
    "  pelvoran-server key show [--state DIR]\n"
    "  pelvoran-server key answer [--state DIR]\n"
    "  pelvoran-server comments list [--state DIR | --backup FILE] [--database URI] [--since "
    "YYYY-MM-DD]\n"
    "  pelvoran-server comments export [--state DIR | --backup FILE] [--database URI] [--format "
    "jsonl|csv]"
    " [--since YYYY-MM-DD]\n"
    "  pelvoran-server comments delete ID... [--state DIR] [--database URI]\n"
    "  pelvoran-server comments approve ID [--state DIR] [--database URI]\n"
    "  pelvoran-server audit list [--state DIR] [--database URI] [--limit N]\n"
    "  pelvoran-server notify add webhook URL --secret-file FILE [--flagged] [--state DIR] "
    "[--database URI]\n"
    "  pelvoran-server notify add email ADDRESS --smtp URL [--user USER --password-file FILE]\n"
    "                          [--ca-file FILE] [--flagged] [--state DIR] [--database URI]\n"
    "  pelvoran-server notify list|remove N|test N [--state DIR] [--database URI]\n"
    "  pelvoran-server backup FILE [--state DIR] [--database URI]\n"
    "  pelvoran-server restore FILE [--state DIR]\n"
    "  pelvoran-server restore FILE --database postgresql://… [--replace]\n"
    "  pelvoran-server admin-url [--state DIR]\n"
    "  pelvoran-server --version\n"
    "  pelvoran-server --help\n";

// The command line as a whole.
inline constexpr char kMissingCommand[] = "缺少命令";
inline std::string unknownCommand(const std::string& command) {
    return "未知命令：" + command;
}
inline std::string unknownOption(const std::string& option) {
    return "未知选项：" + option;
}
inline std::string extraArgument(const std::string& word) {
    return "多余的参数：" + word;
}
inline std::string missingValue(const std::string& option) {
    return option + "：缺少值";
}
inline std::string givenTwice(const std::string& option) {
    return option + "：只能给一次";
}
inline std::string notWholeNumber(const std::string& option, const std::string& max) {
    return option + "：须为 0 到 " + max + " 之间的整数";
}
inline std::string notByteSize(const std::string& option) {
    return option + "：须为字节数，可带 K 或 M，例如 64M";
}
inline std::string notEndpoint(const std::string& option) {
    return option + "：须写成 HOST:PORT，例如 127.0.0.1:8080";
}
/// One of a repeatable address option's values.
inline std::string notEndpoints(const std::string& option, const std::string& value) {
    return option +
           "：须写成 HOST:PORT 或 [IPv6]:PORT，例如 127.0.0.1:8080 或 "
           "[::]:80，而不是 " +
           value;
}
inline constexpr char kSinceNotDate[] = "--since：日期须写成 YYYY-MM-DD，例如 2026-12-01";
/// A date written well that the calendar does not have (2026-02-31).
inline std::string sinceNoSuchDay(const std::string& date) {
    return "--since：没有 " + date + " 这一天";
}
/// Writing to standard output failed.
inline std::string cannotWriteOut(const std::string& why) {
    return "无法写出：" + why;
}
/// A time or a source that was not recorded.
inline constexpr char kUnknown[] = "不详";

// serve: its options and its sockets.
inline std::string noSystemdSockets(const std::string& why) {
    return "无法取得 systemd 传来的套接字：" + why;
}
inline constexpr char kSystemdUnnamedSocket[] = "systemd 传来没有名字的套接字";
inline std::string systemdStrangerSocket(const std::string& name) {
    return "systemd 传来名为“" + name + "”的套接字";
}
/// Follows kSystemdUnnamedSocket or systemdStrangerSocket().
inline constexpr char kSystemdOnlyPublic[] =
    "，本服务只接受名为 public 的：请在 pelvoran-server.socket 中保留 "
    "FileDescriptorName=public";
/// A socket systemd passed that is not a listening stream socket.
inline std::string systemdUnusableSocket(const std::string& why) {
    return "systemd " + why + "：pelvoran-server.socket 中只能用 ListenStream=";
}
inline std::string badPublicPrefix(const std::string& prefix) {
    return "--public-prefix：须以 / 开头和结尾，只含字母、数字和 - . _ ~，例如 "
           "/pelvoran/，而不是 " +
           prefix;
}
inline constexpr char kTrustedProxyNotAddress[] = "--trusted-proxy：须为 IP 地址，例如 127.0.0.1";
inline constexpr char kNoConnections[] = "--max-connections：至少为 1";
inline std::string underOneSecond(const std::string& option) {
    return option + "：至少为 1 秒";
}
inline constexpr char kServeDatabaseNotPostgres[] =
    "--database：须为 PostgreSQL 的连接串，以 postgresql:// 开头，例如 "
    "postgresql://pelvoran@db1,db2/pelvoran?target_session_attrs=read-write；"
    "不写则用状态目录中的 SQLite 文件";
inline constexpr char kAdminBaseUrlNotWeb[] =
    "--admin-base-url：须为浏览器打开管理页面的地址，以 https:// 或 http:// "
    "开头，例如 https://example.com/pelvoran-admin/";
inline constexpr char kNotifyRetryTooShort[] = "--notify-retry-ms：至少为 10 毫秒";
/// `largest` is the largest comment's size.
inline std::string bodyBudgetTooSmall(const std::string& largest) {
    return "--body-budget：至少为 1M，一条留言最多 " + largest;
}
inline constexpr char kListenIgnored[] =
    "pelvoran-server: 使用 systemd 传来的套接字，不理会 --listen；"
    "公共地址在 pelvoran-server.socket 中设置";

// admin-url.
/// How the server is started, in the middle of a sentence.
inline constexpr char kHowToStart[] =
    "启动服务器（软件包安装的：sudo systemctl start pelvoran-server；否则用平常的 "
    "pelvoran-server serve 命令）";
inline std::string adminAddressNotNoted(const std::string& state) {
    return "状态目录 " + state +
           " 上的服务器没能记下管理页面的地址（原因见它的日志）：请重新启动它，"
           "再运行这个命令。";
}
inline std::string noServerNoAddress(const std::string& state) {
    return "状态目录 " + state + " 上现在没有服务器在运行，也没有记下的管理页面地址：请" +
           kHowToStart + "，再运行这个命令。";
}
inline std::string cannotMintSignIn(const std::string& state, const std::string& why) {
    return "无法在状态目录 " + state + " 的服务器所用的数据库中记下新的登录地址：" + why;
}
/// Before the last run's address, printed when no server runs.
inline std::string noServerLastAddress(const std::string& state) {
    return "pelvoran-server: 状态目录 " + state +
           " 上现在没有服务器在运行：下面是上次运行时的管理页面地址，" + kHowToStart +
           "后才能打开（一小时内有效；它若换了 --admin-listen，请再运行这个命令）。";
}

// Backup files, as comments --backup and restore read them.
inline std::string backupIsLink(const std::string& what, const std::string& file) {
    return what + "：" + file + " 是符号链接：请写出备份文件本身的路径";
}
inline std::string cannotReadFile(const std::string& what, const std::string& file,
                                  const std::string& why) {
    return what + "：无法读取 " + file + "：" + why;
}
inline std::string backupNotRegular(const std::string& what, const std::string& file) {
    return what + "：" + file + " 不是普通文件：请写出 pelvoran-server backup 做的备份文件";
}
inline std::string backupNotSqlite(const std::string& what, const std::string& file) {
    return what + "：" + file +
           " 不是 SQLite 数据库文件（开头不是 SQLite 的文件头）：请确认它是 "
           "pelvoran-server backup 做的备份";
}

// key create|show.
/// A key file the command would write is there already.
inline std::string keyFileExists(const std::string& file) {
    return file + " 已存在：不会覆盖它。请换一个文件名，或先把旧文件移走。";
}
inline std::string stateHasKey(const std::string& state, const std::string& file,
                               const std::string& publicFile, const std::string& privateFile) {
    return "状态目录 " + state + " 已有 " + file +
           "：换钥匙会让已发布的签名失效，现场的工具也只认原来的公钥。"
           "没有写入任何文件。确要更换时，先把 " +
           publicFile + " 和 " + privateFile + " 移出状态目录并妥善保存。";
}
inline std::string cannotReadState(const std::string& state, const std::string& why) {
    return "无法读取状态目录 " + state + "：" + why;
}
inline std::string cannotOpenDirectory(const std::string& dir, const std::string& why) {
    return "无法打开目录 " + dir + "：" + why;
}
inline std::string cannotSync(const std::string& shown, const std::string& why) {
    return "无法把 " + shown + " 写入磁盘：" + why;
}
inline constexpr char kKeyCreateNeedsFile[] =
    "key create 需要私钥文件名 FILE，或用 --state DIR 把私钥存在状态目录中";
inline std::string keyFileIsDirectory(const std::string& file) {
    return file + " 须为文件的路径，而不是目录";
}
/// The audit log's action and detail of a key made.
inline constexpr char kKeyCreatedAction[] = "创建签名密钥";
inline std::string keyCreatedDetail(const std::string& fingerprint, bool inState) {
    return "公钥指纹 " + fingerprint +
           (inState ? "，私钥存在状态目录中" : "，私钥在发布者自己的文件中");
}
inline std::string publicKeyStored(const std::string& state) {
    return "公钥已存入状态目录 " + state +
           "：此后每个发布的版本都须有相符的签名，下载地址须以 https:// 开头。";
}
inline std::string privateKeyInState(const std::string& file) {
    return "私钥存在 " + file +
           "，只有状态目录的所有者可读；此后的备份也含有它，请像保管私钥一样保管备份。";
}
inline std::string privateKeyWritten(const std::string& file) {
    return "私钥已写入 " + file + "，只有你可读。";
}
inline constexpr char kKeepOfflineCopy[] =
    "请现在就把私钥另存一份离线副本（例如存到 U 盘，锁在安全的地方）：现场的工具只接受"
    "用这把私钥签名的版本，私钥一旦丢失，用这个公钥构建的工具就再也不能收到更新提示。";
inline std::string fingerprintShowAgain(const std::string& fingerprint) {
    return "公钥指纹：" + fingerprint + "（pelvoran-server key show 可以再次查看）";
}
/// Before the build line the key goes into.
inline constexpr char kBuildWithKey[] =
    "构建工具时加上下面这一行（Linux 与 Windows 版相同），工具只提示用这把私钥签名的版本：";
inline std::string noPublicKey(const std::string& state, const std::string& file) {
    return "状态目录 " + state + " 中没有公钥 " + file +
           "：发布的版本不经签名核对。用 pelvoran-server key create 生成密钥。";
}
inline std::string fingerprintLine(const std::string& fingerprint) {
    return "公钥指纹：" + fingerprint;
}
inline constexpr char kPrivateKeyElsewhere[] = "私钥：不在状态目录中，由发布者自己保管";
inline std::string privateKeyPairs(const std::string& file) {
    return "私钥：存在状态目录中（" + file + "），与公钥是一对";
}
inline std::string privateKeyMismatch(const std::string& file) {
    return "私钥：状态目录中的 " + file + " 与公钥不是一对，release set 不能用它签名";
}
inline constexpr char kKeyVerbs[] = "key 后须为 create、show 或 answer";
/// Before the build line of the answer key.
inline constexpr char kBuildWithAnswerKey[] =
    "构建工具时加上下面这一行（Linux 与 Windows 版相同），工具只显示用这台服务器的回复密钥"
    "签名的回复：";

// release history and audit list.
inline constexpr const char* kReleaseHistoryHeads[] = {
    "编号", "时间", "来源", "操作", "版本", "发布日期", "下载地址", "本服务器提供的文件"};
inline constexpr const char* kAuditHeads[] = {"编号", "时间", "来源", "操作", "详情"};
inline std::string noReleaseHistory(const std::string& platform) {
    return "还没有为 " + platform + " 工具发布或撤下过版本。";
}
inline constexpr char kCleared[] = "撤下";
inline constexpr char kPublished[] = "发布";
inline std::string publishedInPart(int percent) {
    return "发布（" + std::to_string(percent) + "%）";
}
inline std::string releaseHistoryFooter(const std::string& platform, long long total, bool live) {
    return platform + " 工具：" +
           (live ? "共 " + std::to_string(total) +
                       " 条，最新的在前；标 * 的是现在发布的版本（更新说明：release show）。"
                 : "共 " + std::to_string(total) + " 条，最新的在前；现在没有发布的版本。");
}
inline constexpr char kAuditVerbs[] = "audit 后须为 list";
inline constexpr char kNoLimit[] = "--limit：至少为 1";
inline constexpr char kAuditEmpty[] = "操作记录是空的。";
/// After an audit entry's detail: the address it came from.
inline std::string auditFrom(const std::string& address) {
    return "（来自 " + address + "）";
}
inline std::string auditFooter(long long total, std::size_t shown) {
    return static_cast<long long>(shown) < total
               ? "共 " + std::to_string(total) + " 条，这里是最新的 " + std::to_string(shown) +
                     " 条；用 --limit N 列出更多。"
               : "共 " + std::to_string(shown) + " 条，最新的在前。";
}

// comments list|export|delete|approve.
inline constexpr char kDeleteNeedsNumbers[] =
    "comments delete 需要至少一个留言编号，例如 comments delete 12 15";
inline std::string badCommentNumber(const std::string& word) {
    return "留言编号“" + word + "”不对：须为 comments list 中 # 后的数字";
}
/// A comment's state in a listing, after two blanks.
inline constexpr char kFlagged[] = "疑似机器人";
inline constexpr char kRead[] = "已读";
inline constexpr char kUnread[] = "未读";
inline constexpr char kDeleteOptions[] = "comments delete 只接受 --state 和 --database";
/// `numbers`: "#3、#7".
inline std::string noSuchComments(const std::string& numbers) {
    return "没有留言 " + numbers + "：一条也没有删除。请用 comments list 查看现有的编号后重试。";
}
inline std::string deletedComments(std::size_t count) {
    return "已删除 " + std::to_string(count) + " 条留言：";
}
/// The deleted words may linger in the write-ahead log `wal` while a reader
/// holds it.
inline std::string deletedTextInWal(const std::string& wal) {
    return "数据库正被读取，预写日志（" + wal +
           "）中可能还留着删除的文字。服务器停止时会抹去它；如果这很要紧，请重启服务器"
           "（sudo systemctl restart pelvoran-server）。";
}
/// The deleted words may linger in PostgreSQL's table files: VACUUM FULL
/// gave way to a busy table, or could not write it anew in time.
inline constexpr char kDeletedTextInTables[] =
    "删除的文字暂时还留在 PostgreSQL 的表文件中（原因见上一行）。下次删除时会再整理；"
    "如果这很要紧，请在服务器空闲时在数据库中运行 VACUUM (FULL) comments。";
inline constexpr char kCommentsVerbs[] = "comments 后须为 list、export、delete 或 approve";
// comments approve: a comment held as likely spam let through, as the
// admin page's 放行 does.
inline constexpr char kApproveNeedsNumber[] =
    "comments approve 需要一个留言编号，例如 comments approve 12（编号见 comments list）";
inline constexpr char kApproveOptions[] = "comments approve 只接受 --state 和 --database";
inline std::string noSuchCommentToApprove(std::int64_t id) {
    return "没有留言 #" + std::to_string(id) +
           "：没有放行任何留言。请用 comments list 查看现有的编号后重试。";
}
inline std::string notHeld(std::int64_t id) {
    return "留言 #" + std::to_string(id) +
           " 没有被拦作疑似垃圾（或已放行），无需放行。comments list "
           "中标着“疑似垃圾”的留言才能放行。";
}
/// As the comments page says it.
using admin_text::approvedComment;
inline constexpr char kFormatOnlyExport[] = "--format：只用于 comments export";
inline constexpr char kFormats[] = "--format：须为 jsonl 或 csv";
inline constexpr char kBackupOrState[] =
    "--backup 与 --state 只能给一个：--backup 直接读备份文件，不用状态目录";
inline std::string cannotReadBackupComments(const std::string& file, const std::string& why) {
    return "--backup：无法读取 " + file + "：" + why;
}
inline constexpr char kNoComments[] = "没有留言。\n";
inline std::string commentsCount(std::size_t count) {
    return "共 " + std::to_string(count) + " 条留言。\n";
}

// backup.
inline std::string backupIsDirectory(const std::string& file) {
    return "backup：" + file + " 须为文件的路径，而不是目录";
}
inline std::string backupCannotOpenDirectory(const std::string& dir, const std::string& why) {
    return "backup：无法打开目录 " + dir + "：" + why;
}
inline std::string backupExists(const std::string& file) {
    return "backup：" + file + " 已存在，不会覆盖";
}
/// `problem`: the first that SQLite's check found.
inline std::string databaseDamaged(const std::string& database, const std::string& problem) {
    return "backup：数据库文件 " + database + " 已损坏（" + problem + "），没有备份。";
}
/// After databaseDamaged(), when only the indexes are damaged.
inline constexpr char kOnlyIndexesDamaged[] =
    "损坏只涉及索引，表中的数据完好：重启服务（sudo systemctl restart "
    "pelvoran-server）会重建索引，之后再备份。";
/// After databaseDamaged(): where the daily backups are.
inline std::string restoreFromDaily(const std::string& backups) {
    return "请从 " + backups + " 中的备份恢复（pelvoran-server restore）。";
}
/// `names`: the state directory's files in the backup, "、" between them.
inline std::string backupHoldsFiles(const std::string& names) {
    return "备份中还有状态目录中的 " + names + "，恢复时一并放回。";
}
inline std::string backupHoldsPrivateKey(const std::string& file) {
    return "备份中含有签名私钥 " + file +
           "：请像保管私钥本身一样保管这个备份文件，不要放在别人能读到的地方。";
}
inline constexpr char kBackupNeedsFile[] = "backup 需要目标文件名";
inline std::string cannotCreateBackupTemp(const std::string& file, const std::string& why) {
    return "backup：无法创建 " + file + " 的临时文件：" + why;
}
inline std::string cannotWriteBackup(const std::string& why) {
    return "backup：无法写入备份：" + why;
}
inline std::string cannotCreateBackup(const std::string& file, const std::string& why) {
    return "backup：无法创建 " + file + "：" + why;
}
inline std::string cannotSyncBackup(const std::string& file, const std::string& why) {
    return "backup：无法把 " + file + " 写入磁盘：" + why;
}
inline std::string backedUp(const std::string& file) {
    return "已备份到 " + file + "。";
}

// The state directory: finding it, taking it on, locking it.
inline std::string cannotFork(const std::string& why) {
    return "无法创建进程：" + why;
}
inline std::string cannotWait(const std::string& why) {
    return "无法等待进程：" + why;
}
inline std::string cannotCheckAccess(const std::string& user, const std::string& dir) {
    return "无法以用户 " + user + " 的身份检查能否进入 " + dir;
}
inline std::string cannotGiveState(const std::string& state, const std::string& user,
                                   const std::string& why) {
    return "无法把新建的状态目录 " + state + " 交给用户 " + user + "：" + why;
}
inline std::string cannotEnterState(const std::string& dir, const std::string& why) {
    return "--state：无法进入状态目录 " + dir + "：" + why;
}
inline std::string noDefaultState(const std::string& dir) {
    return "--state：默认的状态目录 " + dir +
           " 不存在：这台机器上没有安装并启动过 pelvoran-server 服务。"
           "请用 --state 写出 serve 所用的状态目录。";
}
/// `packaged`: the state directory of the packaged server.
inline std::string noSuchState(const std::string& dir, const std::string& packaged) {
    return "--state：状态目录 " + dir +
           " 不存在。是否把 --state 写错了？状态目录由 serve 或 restore "
           "创建；软件包安装的服务器用 " +
           packaged + "，不必写 --state。";
}
inline std::string cannotCreateState(const std::string& dir, const std::string& why) {
    return "--state：无法创建目录 " + dir + "：" + why;
}
inline std::string stateNotDirectory(const std::string& dir) {
    return "--state：" + dir + " 不是目录。是否把 --state 写错了？";
}
inline std::string cannotOpenState(const std::string& dir, const std::string& why) {
    return "--state：无法打开目录 " + dir + "：" + why;
}
/// The owner of a new state directory, after "属于".
inline constexpr char kOwnedByRoot[] = " root";
inline std::string ownedByUser(const std::string& user) {
    return "用户 " + user;
}
/// After the owner: the service user could not be given a new directory
/// because it cannot reach it.
inline std::string notGivenToServiceUser(const std::string& user, const std::string& closed) {
    return "：用户 " + user + " 进不了目录 " + closed + "，没有交给它";
}
inline std::string stateCreatedForRestore(const std::string& state, const std::string& owner) {
    return "pelvoran-server: 新建了状态目录 " + state + "（属于" + owner + "），备份恢复到这里。";
}
inline std::string stateCreatedEmpty(const std::string& state, const std::string& owner) {
    return "pelvoran-server: 新建了状态目录 " + state + "（空的，属于" + owner +
           "）。如果是 --state 写错了，原来的留言不在这里：请停止服务器，改正 "
           "--state 后重新启动，再删掉这个目录。";
}
inline constexpr char kDatabaseNotPostgres[] =
    "--database：须为 PostgreSQL 的连接串，以 postgresql:// 开头";
inline std::string cannotReadStateDir(const std::string& state, const std::string& why) {
    return "--state：无法读取状态目录 " + state + "：" + why;
}
inline std::string notStateDir(const std::string& state, const std::string& database,
                               const std::string& packaged) {
    return "--state：" + state + " 中没有数据库 " + database +
           "，不是服务器的状态目录。是否把 --state 写错了？状态目录由 serve 或 "
           "restore 创建；软件包安装的服务器用 " +
           packaged + "，不必写 --state。";
}
inline std::string cannotCreateLock(const std::string& state, const std::string& lock,
                                    const std::string& why) {
    return "无法在状态目录 " + state + " 中创建锁文件 " + lock + "：" + why;
}
inline std::string cannotLockState(const std::string& state, const std::string& why) {
    return "无法锁定状态目录 " + state + "：" + why;
}
inline std::string cannotActAsOwner(const std::string& uid, const std::string& why) {
    return "无法切换到状态目录的所有者（uid " + uid + "）：" + why;
}
inline std::string stateNotWritable(const std::string& state, const std::string& why) {
    return "状态目录 " + state + " 不可写：" + why +
           "。请让运行服务器的用户可以写入这个目录，再重试。";
}
inline std::string ownerCannotEnter(const std::string& state, const std::string& owner,
                                    const std::string& closed) {
    return "状态目录 " + state + " 属于用户 " + owner + "，但该用户进不了目录 " + closed +
           "，服务器无法以它的身份使用其中的数据（serve "
           "以状态目录所有者的身份运行）。请把状态目录移到该用户能进入的位置；或者运行 "
           "sudo chown -R root: " +
           state + "，让服务器以 root 身份运行。";
}
inline std::string stateHeldBySqliteServer(const std::string& state, const std::string& lock) {
    return "状态目录 " + state +
           " 正被一个用 SQLite 文件的 pelvoran-server serve（或 restore）"
           "独占（它锁住了其中的 " +
           lock + "）：请先停止它，或用 --state 指定另一个目录。";
}
inline std::string stateHeldByServer(const std::string& state, const std::string& lock) {
    return "状态目录 " + state + " 已有一个 pelvoran-server serve 在使用（它锁住了其中的 " + lock +
           "）：同一个状态目录只能运行一个服务器。请先停止那个服务器，或用 --state "
           "指定另一个目录。";
}
/// Begins both of the warnings below.
inline std::string rootStateWarning(const std::string& state) {
    return "pelvoran-server: 警告：状态目录 " + state +
           " 属于 root，服务器因此以 root 身份运行（serve "
           "以状态目录所有者的身份运行）。";
}
/// After rootStateWarning(): the service user cannot reach the directory.
inline std::string serviceUserCannotEnter(const std::string& user, const std::string& closed) {
    return "用户 " + user + " 进不了目录 " + closed + "，不能接手它：要让服务器以用户 " + user +
           " 的身份运行，请停止服务器，把状态目录移到该用户能进入的位置（例如 "
           "/var/lib 之下），运行 sudo chown -R " +
           user + ": 新的目录，再用 --state 新的目录 启动。";
}
/// After rootStateWarning(): how to give the directory to the service
/// user, making it first when `userExists` is false.
inline std::string howToGiveToServiceUser(const std::string& state, const std::string& user,
                                          bool userExists) {
    return "请停止服务器，" +
           (userExists ? std::string()
                       : "建一个不能登录的系统用户（sudo adduser --system --group --home " + state +
                             " --no-create-home " + user + "），") +
           "运行 sudo chown -R " + user + ": " + state + "，再启动：它就以用户 " + user +
           " 的身份运行。";
}
inline std::string cannotOpenStateDatabase(const std::string& state, const std::string& database,
                                           const std::string& why) {
    return "无法打开状态目录 " + state + " 的服务器所用的数据库 " + database + "：" + why;
}
inline std::string cannotOpenDatabaseFile(const std::string& file, const std::string& why) {
    return "无法打开数据库文件 " + file + "：" + why;
}
/// A connection string refused: serve's words for it.
using daemon_text::locationRefused;

// The database file refused before a command uses it: what the log is told
// (upkeep_text), then what to do. `backups` is the folder of its backups.
inline std::string restoreOrStartAfresh(const std::string& backups) {
    return "请从 " + backups + "/ 中的备份恢复（pelvoran-server restore），或删除它以重新开始。";
}
inline constexpr char kLetServerWrite[] =
    "请让运行服务器的用户可以写入它（例如 chmod 600），再重试。";
inline std::string checkStateOrRestore(const std::string& backups) {
    return "请确认 --state，或从 " + backups + "/ 中的备份恢复（pelvoran-server restore）。";
}
inline std::string restoreAndRetry(const std::string& backups) {
    return "请从 " + backups + "/ 中的备份恢复（pelvoran-server restore），再重试。";
}
inline std::string databaseFileRefused(const DatabaseFileRefused& e) {
    using Kind = DatabaseFileRefused::Kind;
    switch (e.kind()) {
    case Kind::Empty:
        return upkeep_text::emptyDatabaseFile(e.file()) + restoreOrStartAfresh(e.backups());
    case Kind::ReadOnly: return upkeep_text::readOnlyDatabaseFile(e.file()) + kLetServerWrite;
    case Kind::NotOurs:
        return upkeep_text::notOurDatabaseFile(e.file(), e.detail()) +
               checkStateOrRestore(e.backups());
    case Kind::Damaged:
        return upkeep_text::damagedDatabaseFile(e.file(), e.detail()) +
               restoreAndRetry(e.backups());
    case Kind::CannotOpen:
    case Kind::CannotCheck: break; // nothing to do but what the reason says
    }
    return e.what();
}
inline std::string ownerProcessDied(int signal) {
    return "pelvoran-server: 以状态目录所有者身份运行的进程异常结束（信号 " +
           std::to_string(signal) + "）";
}

// restore.
/// Ends every refusal of restore that left things as they were.
inline constexpr char kNothingChanged[] = "。没有改动任何东西。";
inline std::string cannotMove(const std::string& file, const std::string& why) {
    return "restore：无法移动 " + file + "：" + why;
}
inline std::string cannotSeeRoom(const std::string& state, const std::string& why) {
    return "restore：无法查看 " + state + " 的可用空间：" + why;
}
/// The sizes as mebibytes() writes them.
inline std::string notEnoughRoom(const std::string& state, const std::string& room,
                                 const std::string& file, const std::string& size,
                                 const std::string& needed) {
    return "restore：状态目录 " + state + " 所在的磁盘只有 " + room + " 可用，恢复 " + file + "（" +
           size + "）至少需要 " + needed +
           "（备份的一份副本和由它重建的数据库）。没有改动任何东西：请腾出"
           "空间，或确认这个文件确是 pelvoran-server backup 做的备份。";
}
/// A state directory's file in a backup refused; `why` is one of the
/// kFile... reasons below.
inline std::string badStateFile(const std::string& file, const std::string& name,
                                const std::string& why) {
    return "restore：" + file + " 中的 " + name + why + kNothingChanged;
}
inline constexpr char kFileNotOurs[] =
    " 不是本程序放回状态目录的文件：这不是 pelvoran-server backup 做的备份";
inline constexpr char kFileTwice[] = " 出现了两次：这不是 pelvoran-server backup 做的备份";
inline constexpr char kFileDigestWrong[] = " 与备份中记下的 SHA-256 不符：备份已损坏或被改过";
inline constexpr char kFileNotPublicKey[] = " 不是有效的公钥";
inline constexpr char kFileNotPrivateKey[] = " 不是有效的私钥";
inline constexpr char kFileNotToken[] = " 不是监控令牌（令牌只有可见的 ASCII 字符）";
inline std::string keysNotAPair(const std::string& file, const std::string& privateFile,
                                const std::string& publicFile) {
    return "restore：" + file + " 中的私钥 " + privateFile + " 与公钥 " + publicFile +
           " 不是一对：备份已损坏或被改过。没有改动任何东西。";
}
/// The backup's key and the state directory's differ; `publicPath` and
/// `privateFile` are the key files to move aside.
inline std::string otherSigningKey(const std::string& file, const std::string& backupFingerprint,
                                   const std::string& state, const std::string& fingerprint,
                                   const std::string& publicPath, const std::string& privateFile) {
    return "restore：" + file + " 来自另一把签名密钥（公钥指纹 " + backupFingerprint +
           "），状态目录 " + state + " 的公钥指纹是 " + fingerprint +
           "（pelvoran-server key show 可以查看）。没有改动任何东西：恢复不会悄悄换掉工具认的"
           "钥匙。确要换用备份中的钥匙，先把 " +
           publicPath + " 和 " + privateFile +
           "（若有）移出状态目录并妥善保存，再恢复；否则请恢复到另一个状态目录。";
}
inline std::string restoreCannotWrite(const std::string& file, const std::string& why) {
    return "restore：无法写入 " + file + "：" + why;
}
inline std::string cannotWriteInState(const std::string& state, const std::string& why) {
    return "restore：无法在状态目录 " + state + " 中写入：" + why;
}
/// A backup refused while it was rebuilt; `why` without its full stop.
inline std::string backupRefused(const std::string& why) {
    return "restore：" + why + kNothingChanged;
}
/// A known name in a backup that is not a table; `what` is what the backup
/// holds by it instead.
inline std::string notATable(const std::string& backup, const std::string& name,
                             const std::string& what) {
    return backup + " 中的 " + name + " 不是表（是 " + what +
           "）：这不是 pelvoran-server backup 做的备份，本程序不会读它";
}
/// A backup refused, as restore and comments --backup say it, without a
/// full stop.
inline std::string refusedBackup(const RefusedBackup& e) {
    if (e.reason() == RefusedBackup::Reason::NotATable)
        return notATable(e.backup(), e.table(), e.detail());
    return e.what();
}
inline std::string cannotRebuild(const std::string& state, const std::string& why) {
    return "restore：无法在状态目录 " + state + " 中重建数据库：" + why + kNothingChanged;
}
/// The rest of the networks, after a release held back or offered to some.
inline std::string othersGet(const std::string& version) {
    return "其余网络得到 " + version;
}
inline constexpr char kOthersGetNothing[] = "其余网络不提示更新";
inline std::string offerHalted(const std::string& version, const std::string& others) {
    return version + " 已暂停发布，" + others;
}
inline std::string offerInPart(const std::string& version, int percent, const std::string& others) {
    return version + " 分阶段发布给 " + std::to_string(percent) + "% 的网络，" + others;
}
/// The audit log's action and detail of a restore; `carried` names the
/// state directory's files that came back. The action is the one a restore
/// into PostgreSQL writes too.
using upkeep_text::kRestoredAction;
inline std::string restoredDetail(const std::string& file, const std::string& state,
                                  const std::string& carried) {
    return "从备份 " + file + " 恢复了状态目录 " + state +
           (carried.empty() ? "" : "，连同 " + carried);
}
inline std::string cannotCreateIn(const std::string& dir, const std::string& why) {
    return "restore：无法创建 " + dir + "：" + why;
}
inline std::string cannotMoveBackup(const std::string& database, const std::string& why) {
    return "restore：无法把备份移到 " + database + "：" + why;
}
inline std::string restoreCannotOpen(const std::string& dir, const std::string& why) {
    return "restore：无法打开 " + dir + "：" + why;
}
// The summary of a restore into a state directory.
inline std::string restoredHeading(const std::string& file, const std::string& state) {
    return "已从 " + file + " 恢复状态目录 " + state + "：";
}
/// `newest`: the time the newest comment came, empty when there is none;
/// `replaced`: whether a database with newer comments was replaced.
inline std::string restoredComments(long long count, const std::string& newest, bool replaced) {
    return "  留言：" + std::to_string(count) + " 条" +
           (count > 0 ? "，最新一条收到于 " + newest : "") +
           (replaced ? "。备份之后收到的留言不在其中，它们留在被替换的数据库里。" : "。");
}
inline constexpr char kNoOffers[] = "  备份中没有发布的版本：服务启动后，工具不会提示更新。";
inline constexpr char kOffersHeading[] = "  服务启动后，更新检查按备份时的发布答复：";
inline std::string nextNumber(long long next) {
    return "  留言编号从 #" + std::to_string(next) + " 起，不会重用已经用过的编号。";
}
inline std::string numbersUnread(const std::string& why) {
    return "  （被替换的数据库读不出已用过的编号：" + why + "）";
}
inline constexpr char kNothingCarried[] =
    "  备份中没有签名密钥或监控令牌：状态目录中原有的保持原样。";
inline std::string filesCarried(const std::string& names) {
    return "  状态目录中的 " + names + " 已从备份放回（只有所有者可读）。";
}
inline std::string objectsLeftOut(const std::string& names) {
    return "  备份中另有本程序的数据库没有的对象，没有恢复：" + names + "。";
}
inline std::string replacedKeptAs(const std::string& file) {
    return "  被替换的数据库保存为 " + file + "。";
}
inline std::string dailyMovedAside(const std::string& file) {
    return "  今天的每日备份是恢复前做的，已移到 " + file +
           "：服务启动后会为恢复的数据重做今天的备份。";
}
inline std::string dailyNotMoved(const std::string& why) {
    return "  今天的每日备份是恢复前做的，没能移开（" + why +
           "）：恢复的数据明天才有每日备份，在那之前请自己备份一次。";
}
inline constexpr char kSignInsEnded[] =
    "  管理页面的登录已全部结束，还没用过的登录地址也不再有效：服务启动后用 "
    "pelvoran-server admin-url 取新地址。";
inline constexpr char kStartService[] = "现在可以启动服务：sudo systemctl start pelvoran-server";
inline std::string startServer(const std::string& state) {
    return "现在可以启动服务器：pelvoran-server serve --state " + state + "（连同原来的其他选项）";
}
inline std::string serverUsesState(const std::string& state) {
    return "restore：服务器正在使用状态目录 " + state +
           "，没有改动任何东西。请先停止它（软件包安装的服务连同它的套接字："
           "sudo systemctl stop pelvoran-server.socket pelvoran-server，"
           "否则下一个连接会让它再启动），恢复后再启动两者。";
}
/// The server's log line of a restore.
inline std::string restoredLog(const std::string& file, const std::string& state) {
    return "已从 " + file + " 恢复状态目录 " + state + "，管理页面的登录已全部结束";
}
// A restore into PostgreSQL.
/// The tables counted, as the publisher reads them.
inline constexpr char kCommentsTable[] = "留言";
inline constexpr char kReleaseHistoryTable[] = "发布记录";
inline constexpr char kAuditLogTable[] = "操作记录";
inline constexpr char kRecipientsTable[] = "通知接收方";
inline constexpr char kDownloadFilesTable[] = "下载文件";
inline std::string cannotMakeTempDir(const std::string& why) {
    return "restore：无法创建临时目录：" + why;
}
inline std::string cannotWriteTemp(const std::string& file, const std::string& why) {
    return "restore：无法写入临时文件 " + file + "：" + why;
}
/// The restore as the database's own log keeps it.
inline std::string restoredIntoPostgres(const std::string& file, const std::string& location,
                                        bool replace) {
    return "从备份 " + file + " 恢复到 PostgreSQL 数据库 " + location +
           (replace ? "，替换了其中原有的数据" : "");
}
/// A table's count in the summary.
inline std::string tableRows(const std::string& table, long long rows) {
    return table + " " + std::to_string(rows) + " 条";
}
/// `counts`: tableRows() of each table, "，" between them.
inline std::string restoredPostgres(const std::string& file, const std::string& location,
                                    const std::string& counts) {
    return "已从 " + file + " 恢复到 PostgreSQL 数据库 " + location + "：" + counts +
           "（每张表的行数已与备份核对）。";
}
inline std::string filesNotInDatabase(const std::string& names) {
    return "  备份中的 " + names +
           " 属于状态目录，没有放进数据库：服务器仍用 --state 目录中的那些。";
}
inline constexpr char kStartWithDatabase[] = "现在可以用 serve --database 启动服务器。";
/// After a restore refused while servers use the database.
inline constexpr char kStopServersFirst[] = "请先停止所有连着它的服务器，再恢复。";
/// After a restore refused into a database that holds rows.
inline constexpr char kAddReplace[] = "要用备份替换其中的一切，请加 --replace。";
inline std::string restoreRefused(const RestoreRefused& e) {
    switch (e.kind()) {
    case RestoreRefused::Kind::ServersConnected:
        return "有 pelvoran-server serve 正连着 PostgreSQL 数据库 " + e.database() +
               "：恢复会替换它们正在用的数据。" + kStopServersFirst;
    case RestoreRefused::Kind::NotEmpty:
        return upkeep_text::databaseNotEmpty(e.database(), e.table(), e.rows()) + kAddReplace;
    }
    return e.what();
}
inline constexpr char kRestoreNeedsFile[] = "restore 需要备份文件名";
inline constexpr char kRestoreDatabaseNotPostgres[] =
    "restore：--database 须为 PostgreSQL 的连接串，以 postgresql:// 开头";
inline constexpr char kDatabaseOrState[] = "restore：--database 与 --state 只能用一个";
inline constexpr char kReplaceOnlyDatabase[] =
    "restore：--replace 只用于 --database（恢复到状态目录时，被替换的数据库"
    "总会保存在状态目录中）";
inline std::string stateUsesPostgres(const std::string& state, const std::string& location,
                                     const std::string& file) {
    return "restore：状态目录 " + state + " 的服务器用的是 PostgreSQL 数据库 " + location +
           "，恢复到这里的 SQLite 文件它不会用。请停止服务器后用 restore " + file +
           " --database 连接串 恢复到那个数据库。";
}
inline std::string restoreStateNotWritable(const std::string& state, const std::string& why) {
    return "restore：状态目录 " + state + " 不可写：" + why;
}

// release show|set|sign|clear|history|rollout|halt|prune-files.
/// Ends what a release command changed: whether a server picks it up.
inline std::string serverPicksUp(const std::string& state) {
    return "在状态目录 " + state + " 上运行的服务器一秒内开始按此答复更新检查。";
}
inline std::string noServerPicksUp(const std::string& state) {
    return "但现在没有服务器在状态目录 " + state +
           " 上运行：启动它（软件包安装的服务：sudo systemctl start "
           "pelvoran-server）后才会按此答复。";
}
inline constexpr char kPlatforms[] = "--platform：须为 windows 或 linux";
/// The tools of a platform, as the messages name them.
inline std::string platformTools(const std::string& platform) {
    return platform + " 工具";
}
inline std::string releaseNeedsOption(const std::string& option, const std::string& verb) {
    return option + "：release " + verb + " 需要这个选项";
}
inline std::string notUtf8(const std::string& option) {
    return option + "：不是有效的 UTF-8 文本";
}
inline constexpr char kSignOptions[] =
    "release sign 只接受 --key、--version、--address、--date 和 --notes";
inline constexpr char kSignNeedsKey[] = "--key：release sign 需要私钥文件（key create 生成的）";
inline std::string onlyWithFile(const std::string& option) {
    return option + "：只和 --file 一起用";
}
inline constexpr char kAddressOrFile[] =
    "--address 和 --file 只能给一个：用 --file 时，下载地址由服务器按 "
    "--download-base 生成";
/// Which option named the download's file, before kBadDownloadName.
inline constexpr char kFileNameOption[] = "--file-name：";
inline constexpr char kFileOption[] = "--file：文件名";
inline constexpr char kBadDownloadName[] =
    "须为 1 到 100 个英文字母、数字、“.”、“_”、“-”或“+”，不以“.”开头，"
    "例如 Pelvoran-1.06.exe；可用 --file-name 另取一个";
inline std::string cannotOpenFile(const std::string& file, const std::string& why) {
    return "--file：无法打开 " + file + "：" + why;
}
inline std::string fileTooLarge(const std::string& file, std::int64_t size, std::uint64_t limit) {
    return store_text::fileTooLarge(file, size, limit) + "（--max-download-size）";
}
/// A file refused as --file gives it, after "--file：".
inline std::string fileRefused(const FileRefused& e) {
    if (e.kind() == FileRefused::Kind::TooLarge)
        return fileTooLarge(e.file(), e.size(), e.limit());
    return e.what();
}
/// A stored file deleted while it was written: as the release page says it.
using admin_text::storedFileDeleted;
inline constexpr char kNoDownloadBase[] =
    "--download-base：第一次用 --file 发布时须给出下载地址的开头，例如 "
    "https://example.com/pelvoran（之后记在数据库中）";
inline std::string otherFileThere(const std::string& path, const std::string& sha256) {
    return "--file：" + path + " 已发布过另一个文件（SHA-256 " + sha256 +
           "）：同一路径只能是同一个文件。请换一个版本号或用 --file-name "
           "另取文件名";
}
inline constexpr char kSetTakesSignWith[] = "--key：release set 用 --sign-with 指定私钥文件";
inline constexpr char kSignWithOrSignature[] = "--sign-with 和 --signature 只能给一个";
inline constexpr char kBadRollout[] =
    "--rollout：须为 0 到 100 的整数（收到这个版本的网络的百分比），例如 10";
inline std::string signWithOtherKey(const std::string& state, const std::string& publicFile) {
    return "--sign-with：这把私钥与状态目录 " + state + " 中的公钥 " + publicFile +
           " 不是一对：请用 key create 时生成的私钥";
}
/// The audit log's action of a release set.
inline constexpr char kPublishAction[] = "发布";
/// `tools`: platformTools(); `percent` below 100 names the first networks.
inline std::string publishedFor(const std::string& tools, const std::string& version, int percent) {
    return "已为 " + tools + "发布 " + version +
           (percent < 100 ? "，先给 " + std::to_string(percent) + "% 的网络" : "") + "。";
}
/// `size`: as sizeText() writes it.
inline std::string servedHere(const std::string& address, const std::string& name,
                              const std::string& size, const std::string& sha256) {
    return "下载地址 " + address + " 由本服务器提供：" + name + "，" + size + "，SHA-256 " +
           sha256 + "。";
}
inline std::string signedWithoutPublicKey(const std::string& state, const std::string& publicFile) {
    return "注意：这个版本已用 --sign-with 的私钥签名，但只有用这把密钥构建的工具才核对"
           "签名；状态目录 " +
           state + " 中没有公钥 " + publicFile +
           "，这里不核对其他版本的签名，不签名的版本也会发布。请把这把私钥的公钥"
           "（key create 生成它时打印的 -DPELVORAN_UPDATE_KEY= 之后的部分）存为 " +
           state + "/" + publicFile + "，或用 pelvoran-server key create --state 生成新的密钥。";
}
inline constexpr char kUnchecked[] =
    "注意：状态目录中没有公钥，更新提示未经核对：网络途中的人可以伪造它。"
    "用 pelvoran-server key create 生成密钥，并用它构建工具。";
inline constexpr char kRolloutNeedsPercent[] =
    "release rollout 需要百分比（0 到 100 的整数），例如 release rollout 50";
inline std::string badPercent(const std::string& word) {
    return "release rollout：百分比须为 0 到 100 的整数，例如 release rollout 50；" + word +
           " 不是";
}
inline std::string nothingToRollOut(const std::string& verb, const std::string& tools,
                                    const std::string& platform) {
    return "release " + verb + "：现在没有给 " + tools + "发布的版本（--platform " + platform +
           "）；先用 release set 发布";
}
/// The other networks, after a rollout changed.
inline std::string restGet(const std::string& version) {
    return "其余的收到 " + version;
}
inline constexpr char kRestGetNothing[] = "其余的不提示更新";
/// `others`: restGet() or kRestGetNothing, said below 100 %.
inline std::string rolloutChanged(int percent, const std::string& tools, const std::string& version,
                                  int before, const std::string& others) {
    return std::string(percent == 0 ? "已暂停" : "已调整") + " " + tools + "的 " + version + "：" +
           std::to_string(before) + "% → " + std::to_string(percent) + "% 的网络" +
           (percent < 100 ? "，" + others : "") + "。";
}
inline constexpr char kNothingToPrune[] = "没有可删除的文件：每个文件都有发布记录用到它。";
/// `digest`: the start of the file's SHA-256.
inline std::string prunedFile(const std::string& digest, const std::string& size) {
    return "已删除文件 SHA-256 " + digest + "…（" + size + "）";
}
inline std::string prunedCopies(const std::string& dir, std::size_t count) {
    return "已删除 " + dir + " 中 " + std::to_string(count) + " 个不再提供的副本。";
}
inline std::string releaseOptionsOnly(const std::string& verb) {
    return "release " + verb + " 只接受 --state 和 --platform";
}
inline constexpr char kReleaseVerbs[] =
    "release 后须为 show、set、sign、clear、history、rollout、halt 或 prune-files";
inline constexpr char kClearedRelease[] = "已撤下发布的版本。";
inline std::string clearedFor(const std::string& tools) {
    return "已撤下给 " + tools + "发布的版本。";
}
inline constexpr char kNothingPublished[] = "尚未发布新版本。";
inline std::string nothingPublishedFor(const std::string& tools) {
    return "尚未给 " + tools + "发布新版本。";
}
// release show, a line each.
inline constexpr char kVersionLabel[] = "版本：";
inline constexpr char kAddressLabel[] = "下载地址：";
inline constexpr char kServedFileLabel[] = "本服务器提供的文件：";
inline constexpr char kDateLabel[] = "发布日期：";
inline constexpr char kNotesLabel[] = "更新说明：";
inline constexpr char kSignatureLabel[] = "签名：";
inline constexpr char kUnsigned[] = "未签名";
/// The rest of the networks get `restVersion` when `restGetOne`.
inline std::string rolloutLine(int percent, const std::string& restVersion, bool restGetOne) {
    return "分阶段发布：" + std::to_string(percent) + "% 的网络收到它，其余的" +
           (restGetOne ? "收到 " + restVersion : std::string("不提示更新")) +
           (percent == 0 ? "（已暂停）" : "");
}

// notify add|list|remove|test.
inline std::string cannotReadSecret(const std::string& option, const std::string& file,
                                    const std::string& why) {
    return option + "：无法读取 " + file + "（" + why + "）。请给出存放密钥或密码的文件。";
}
inline std::string badSecret(const std::string& option, const std::string& file) {
    return option + "：" + file + " 须存放一行密钥或密码，不能为空，最多 4096 字节";
}
inline std::string notifyNeedsNumber(const std::string& verb) {
    return "notify " + verb + " 需要一个接收方编号，例如 notify " + verb +
           " 1（编号见 notify list）";
}
inline std::string badRecipientNumber(const std::string& word) {
    return "接收方编号“" + word + "”不对：须为 notify list 中 # 后的数字";
}
/// An option that `what` does not take.
inline std::string notFor(const std::string& option, const std::string& what) {
    return option + "：不用于 " + what;
}
/// A time of delivery that never came.
inline constexpr char kNever[] = "从未";
inline constexpr char kNotifyAddKinds[] = "notify add 后须为 webhook URL 或 email ADDRESS";
inline std::string webhookNotWeb(const std::string& address) {
    return "webhook 的地址须以 https:// 或 http:// 开头，例如 "
           "https://example.com/hooks/pelvoran，而不是 " +
           address;
}
inline std::string webhookHasUser(const std::string& address) {
    return "webhook 的地址不能含用户名或密码（" + address +
           "）：地址会显示在页面和 notify list 中。请去掉“用户名:密码@”；"
           "接收方用 --secret-file 中的密钥核对 X-Pelvoran-Signature 签名";
}
inline constexpr char kWebhookNeedsSecret[] =
    "--secret-file：webhook 需要它，文件中存放签名用的密钥";
inline std::string badMailAddress(const std::string& address) {
    return "电子邮件地址“" + address + "”不对：须像 name@example.com";
}
inline constexpr char kBadSmtp[] =
    "--smtp：须为 SMTP 服务器的地址，例如 smtps://smtp.example.com 或 "
    "smtp://smtp.example.com:587（STARTTLS）";
inline std::string smtpHasUser(const std::string& address) {
    return "--smtp：地址不能含用户名或密码（" + address + "）；请改用 --user 和 --password-file";
}
inline constexpr char kUserWithPassword[] = "--user 和 --password-file 须一起给出";
inline std::string cannotReadCa(const std::string& file) {
    return "--ca-file：无法读取 " + file + "；请给出 PEM 格式的 CA 证书文件";
}
/// A recipient as the audit log and the reply name it: "#3（webhook
/// https://…）"; `kind` as kindText() writes it.
inline std::string recipientNamed(long long id, const std::string& kind, const std::string& address,
                                  bool flagged) {
    return "#" + std::to_string(id) + "（" + kind + " " + address +
           (flagged ? "，含疑似机器人留言" : "") + "）";
}
inline constexpr char kRecipientAddedAction[] = "添加通知接收方";
inline std::string recipientAdded(const std::string& named, long long id) {
    return "已添加接收方 " + named +
           "。正在运行的服务器一秒内开始向它发送新留言的通知；可用 notify test " +
           std::to_string(id) + " 试发一条。";
}
inline constexpr char kNoRecipients[] = "没有接收方：新留言不会通知任何人。用 notify add 添加。";
// A recipient in notify list: parts of its lines.
/// The mail server, and the user when one signs in.
inline std::string viaSmtp(const std::string& smtp, const std::string& user) {
    return "  经 " + smtp + (user.empty() ? "" : "（用户 " + user + "）");
}
inline constexpr char kTakesFlagged[] = "  含疑似机器人留言";
inline std::string deliveredAndPending(const std::string& last, long long pending) {
    return "\n    上次送达：" + last + "；待发送：" + std::to_string(pending) + " 条";
}
inline std::string failingSince(const std::string& since, long long failures) {
    return "；自 " + since + " 起连续失败 " + std::to_string(failures) + " 次";
}
inline std::string givenUp(long long count) {
    return "；一天多未送达而放弃 " + std::to_string(count) + " 条";
}
inline std::string lastError(const std::string& at, const std::string& error) {
    return "\n    上次错误（" + at + "）：" + error;
}
inline std::string noSuchRecipient(long long id) {
    return "没有接收方 #" + std::to_string(id) + "：请用 notify list 查看编号";
}
/// The audit log's action of a test and its detail after the number.
inline constexpr char kTestAction[] = "试发通知";
inline constexpr char kTestNotDelivered[] = "：未送达";
inline constexpr char kTestDelivered[] = "：已送达";
inline std::string testFailed(const std::string& named, const std::string& error) {
    return "测试通知未能送达 " + named + "：" + error;
}
inline std::string testDelivered(const std::string& named) {
    return "测试通知已送达 " + named + "。";
}
/// After testDelivered(), when the recipient had been failing; `streak`
/// says how long, as streakText() writes it.
inline std::string streakEnded(const std::string& streak) {
    return "它" + streak + "；这些通知不再等待重试间隔，正在运行的服务器一秒内开始发送。";
}
inline constexpr char kFlaggedOnlyAdd[] = "--flagged：只用于 notify add";
inline constexpr char kRecipientRemovedAction[] = "删除通知接收方";
inline std::string recipientRemoved(long long id) {
    return "已删除接收方 #" + std::to_string(id) + "，它待发送的通知也一并删除。";
}
inline constexpr char kNotifyVerbs[] = "notify 后须为 add、list、remove 或 test";

} // namespace pelvoran::server::cli_text
