#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/comments/comment_export.h"
#include "server/notify/notify.h"
#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/terminal_text.h"
#include "server/support/time_text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>

namespace pelvoran::server {
namespace {

namespace fs = std::filesystem;

/// The secret in `path`, given with `option`: the file's bytes without the
/// line break an editor leaves at the end.
std::string readSecret(const std::string& path, const std::string& option) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError{option + "：无法读取 " + path + "（" + systemErrorText(errno) +
                             "）。请给出存放密钥或密码的文件。",
                         false};
    std::string secret(kMaxSecret + 1, '\0');
    in.read(secret.data(), static_cast<std::streamsize>(secret.size()));
    secret.resize(static_cast<std::size_t>(in.gcount()));
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r'))
        secret.pop_back();
    if (secret.empty() || secret.size() > kMaxSecret)
        throw UsageError{option + "：" + path + " 须存放一行密钥或密码，不能为空，最多 4096 字节",
                         false};
    return secret;
}

std::int64_t recipientNumber(const Parsed& p, const std::string& verb) {
    if (p.words.size() != 3)
        throw UsageError{"notify " + verb + " 需要一个接收方编号，例如 notify " + verb +
                         " 1（编号见 notify list）"};
    const std::string& w = p.words[2];
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(w.data(), w.data() + w.size(), id);
    if (error != std::errc() || end != w.data() + w.size() || id < 1)
        throw UsageError{"接收方编号“" + w + "”不对：须为 notify list 中 # 后的数字"};
    return id;
}

void onlyOptions(const Parsed& p, const std::string& what, const std::set<std::string>& allowed) {
    for (const auto& [name, value] : p.options)
        if (!allowed.contains(name))
            throw UsageError{name + "：不用于 " + what};
}

std::string timeOrNever(std::chrono::sys_seconds t) {
    return t == std::chrono::sys_seconds{} ? "从未" : localTimeText(t);
}

int add(const Parsed& p, bool flagged) {
    const std::string kind = p.words.size() > 2 ? p.words[2] : "";
    if (p.words.size() != 4 || (kind != "webhook" && kind != "email"))
        throw UsageError{"notify add 后须为 webhook URL 或 email ADDRESS"};
    Recipient r;
    r.address = p.words[3];
    r.flagged = flagged;
    if (kind == "webhook") {
        r.kind = NotifyKind::Webhook;
        onlyOptions(p, "webhook", {"--state", "--secret-file"});
        if (!isWebAddress(r.address))
            throw UsageError{"webhook 的地址须以 https:// 或 http:// 开头，例如 "
                             "https://example.com/hooks/pelvoran，而不是 " +
                             r.address};
        if (hasUserInfo(r.address))
            throw UsageError{"webhook 的地址不能含用户名或密码（" + shownAddress(r.address) +
                             "）：地址会显示在页面和 notify list 中。请去掉“用户名:密码@”；"
                             "接收方用 --secret-file 中的密钥核对 X-Pelvoran-Signature 签名"};
        if (!p.options.contains("--secret-file"))
            throw UsageError{"--secret-file：webhook 需要它，文件中存放签名用的密钥"};
        r.secret = readSecret(p.options.at("--secret-file"), "--secret-file");
    } else {
        r.kind = NotifyKind::Email;
        onlyOptions(p, "email", {"--state", "--smtp", "--user", "--password-file", "--ca-file"});
        if (!isMailAddress(r.address))
            throw UsageError{"电子邮件地址“" + r.address + "”不对：须像 name@example.com"};
        r.smtp = optionOr(p, "--smtp", "");
        const std::string host = urlHost(r.smtp);
        if ((!r.smtp.starts_with("smtp://") && !r.smtp.starts_with("smtps://")) || host.empty() ||
            !isPlainAscii(r.smtp))
            throw UsageError{"--smtp：须为 SMTP 服务器的地址，例如 smtps://smtp.example.com 或 "
                             "smtp://smtp.example.com:587（STARTTLS）"};
        if (hasUserInfo(r.smtp))
            throw UsageError{"--smtp：地址不能含用户名或密码（" + shownAddress(r.smtp) +
                             "）；请改用 --user 和 --password-file"};
        if (p.options.contains("--user") != p.options.contains("--password-file"))
            throw UsageError{"--user 和 --password-file 须一起给出"};
        r.user = optionOr(p, "--user", "");
        if (p.options.contains("--password-file"))
            r.secret = readSecret(p.options.at("--password-file"), "--password-file");
        if (p.options.contains("--ca-file")) {
            const std::string ca = p.options.at("--ca-file");
            std::error_code ec;
            if (!std::ifstream(ca) || !fs::is_regular_file(ca, ec))
                throw UsageError{"--ca-file：无法读取 " + ca + "；请给出 PEM 格式的 CA 证书文件",
                                 false};
            r.caFile = fs::absolute(ca).lexically_normal().string();
        }
    }
    const auto db = openDatabase(enterState(p));
    const std::int64_t id = db->outbox().addRecipient(r);
    const std::string what = "#" + std::to_string(id) + "（" + kindText(r.kind) + " " +
                             terminalCell(r.address) + (r.flagged ? "，含疑似机器人留言" : "") +
                             "）";
    db->audit().append("添加通知接收方", what, kByCommandLine);
    say(stdout, "已添加接收方 " + what +
                    "。正在运行的服务器一秒内开始向它发送新留言的通知；可用 notify test " +
                    std::to_string(id) + " 试发一条。");
    return kExitOk;
}

int list(const Parsed& p) {
    expectWords(p, 2);
    onlyOptions(p, "notify list", {"--state"});
    const auto recipients = openDatabase(enterState(p))->outbox().recipients();
    if (recipients.empty()) {
        say(stdout, "没有接收方：新留言不会通知任何人。用 notify add 添加。");
        return kExitOk;
    }
    for (const Recipient& r : recipients) {
        std::string line = "#" + std::to_string(r.id) + "  " + kindText(r.kind) + "  " +
                           terminalCell(shownAddress(r.address));
        if (r.kind == NotifyKind::Email)
            line += "  经 " + terminalCell(shownAddress(r.smtp)) +
                    (r.user.empty() ? "" : "（用户 " + terminalCell(r.user) + "）");
        line += r.flagged ? "  含疑似机器人留言" : "";
        line += "\n    上次送达：" + timeOrNever(r.lastSuccess) + "；待发送：" +
                std::to_string(r.pending) + " 条";
        if (r.failures > 0)
            line += "；自 " + localTimeText(r.failingSince) + " 起连续失败 " +
                    std::to_string(r.failures) + " 次";
        if (r.givenUp > 0)
            line += "；一天多未送达而放弃 " + std::to_string(r.givenUp) + " 条";
        if (!r.lastError.empty())
            line += "\n    上次错误（" + localTimeText(r.lastErrorAt) + "）：" +
                    terminalCell(r.lastError);
        say(stdout, line);
    }
    return kExitOk;
}

int test(const Parsed& p) {
    const std::int64_t id = recipientNumber(p, "test");
    onlyOptions(p, "notify test", {"--state"});
    const auto db = openDatabase(enterState(p));
    const auto r = db->outbox().recipient(id);
    if (!r)
        throw UsageError{"没有接收方 #" + std::to_string(id) + "：请用 notify list 查看编号",
                         false};
    const Delivery to{r->kind, r->address, r->smtp, r->user, r->secret, r->caFile};
    const auto now = secondsNow();
    const auto error =
        r->kind == NotifyKind::Webhook
            ? send(to, notificationJson(testComment(now), ""), RetrySchedule{}.sendTimeout())
            : send(to, testMail(r->address, now), RetrySchedule{}.sendTimeout());
    const auto streak = db->outbox().recordTest(id, error, now);
    db->audit().append("试发通知", "#" + std::to_string(id) + (error ? "：未送达" : "：已送达"),
                       kByCommandLine);
    const std::string named =
        "#" + std::to_string(id) + "（" + terminalCell(shownAddress(r->address)) + "）";
    if (error) {
        say(stderr, "测试通知未能送达 " + named + "：" + terminalCell(*error));
        return kExitFailure;
    }
    say(stdout, "测试通知已送达 " + named + "。" +
                    (streak ? "它" + streakText(*streak, now) +
                                  "；这些通知不再等待重试间隔，正在运行的服务器一秒内开始发送。"
                            : ""));
    return kExitOk;
}

} // namespace

int notifyCommand(const std::vector<std::string>& args) {
    // The one option without a value.
    std::vector<std::string> rest;
    bool flagged = false;
    for (const auto& a : args) {
        if (a == "--flagged")
            flagged = true;
        else
            rest.push_back(a);
    }
    const Parsed p = parse(rest, {"--state", "--database", "--secret-file", "--smtp", "--user",
                                  "--password-file", "--ca-file"});
    const std::string verb = p.words.size() > 1 ? p.words[1] : "";
    if (flagged && verb != "add")
        throw UsageError{"--flagged：只用于 notify add"};
    if (verb == "add")
        return add(p, flagged);
    if (verb == "list")
        return list(p);
    if (verb == "remove") {
        const std::int64_t id = recipientNumber(p, "remove");
        onlyOptions(p, "notify remove", {"--state"});
        const auto db = openDatabase(enterState(p));
        if (!db->outbox().removeRecipient(id))
            throw UsageError{"没有接收方 #" + std::to_string(id) + "：请用 notify list 查看编号",
                             false};
        db->audit().append("删除通知接收方", "#" + std::to_string(id), kByCommandLine);
        say(stdout, "已删除接收方 #" + std::to_string(id) + "，它待发送的通知也一并删除。");
        return kExitOk;
    }
    if (verb == "test")
        return test(p);
    throw UsageError{"notify 后须为 add、list、remove 或 test"};
}

} // namespace pelvoran::server
