#include "server/cli/cli_texts.h"
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
        throw UsageError{cli_text::cannotReadSecret(option, path, systemErrorText(errno)), false};
    std::string secret(kMaxSecret + 1, '\0');
    in.read(secret.data(), static_cast<std::streamsize>(secret.size()));
    secret.resize(static_cast<std::size_t>(in.gcount()));
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r'))
        secret.pop_back();
    if (secret.empty() || secret.size() > kMaxSecret)
        throw UsageError{cli_text::badSecret(option, path), false};
    return secret;
}

std::int64_t recipientNumber(const Parsed& p, const std::string& verb) {
    if (p.words.size() != 3)
        throw UsageError{cli_text::notifyNeedsNumber(verb)};
    const std::string& w = p.words[2];
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(w.data(), w.data() + w.size(), id);
    if (error != std::errc() || end != w.data() + w.size() || id < 1)
        throw UsageError{cli_text::badRecipientNumber(w)};
    return id;
}

void onlyOptions(const Parsed& p, const std::string& what, const std::set<std::string>& allowed) {
    for (const auto& [name, value] : p.options)
        if (!allowed.contains(name))
            throw UsageError{cli_text::notFor(name, what)};
}

std::string timeOrNever(std::chrono::sys_seconds t) {
    return t == std::chrono::sys_seconds{} ? cli_text::kNever : localTimeText(t);
}

int add(const Parsed& p, bool flagged) {
    const std::string kind = p.words.size() > 2 ? p.words[2] : "";
    if (p.words.size() != 4 || (kind != "webhook" && kind != "email"))
        throw UsageError{cli_text::kNotifyAddKinds};
    Recipient r;
    r.address = p.words[3];
    r.flagged = flagged;
    if (kind == "webhook") {
        r.kind = NotifyKind::Webhook;
        onlyOptions(p, "webhook", {"--state", "--secret-file"});
        if (!isWebAddress(r.address))
            throw UsageError{cli_text::webhookNotWeb(r.address)};
        if (hasUserInfo(r.address))
            throw UsageError{cli_text::webhookHasUser(shownAddress(r.address))};
        if (!p.options.contains("--secret-file"))
            throw UsageError{cli_text::kWebhookNeedsSecret};
        r.secret = readSecret(p.options.at("--secret-file"), "--secret-file");
    } else {
        r.kind = NotifyKind::Email;
        onlyOptions(p, "email", {"--state", "--smtp", "--user", "--password-file", "--ca-file"});
        if (!isMailAddress(r.address))
            throw UsageError{cli_text::badMailAddress(r.address)};
        r.smtp = optionOr(p, "--smtp", "");
        const std::string host = urlHost(r.smtp);
        if ((!r.smtp.starts_with("smtp://") && !r.smtp.starts_with("smtps://")) || host.empty() ||
            !isPlainAscii(r.smtp))
            throw UsageError{cli_text::kBadSmtp};
        if (hasUserInfo(r.smtp))
            throw UsageError{cli_text::smtpHasUser(shownAddress(r.smtp))};
        if (p.options.contains("--user") != p.options.contains("--password-file"))
            throw UsageError{cli_text::kUserWithPassword};
        r.user = optionOr(p, "--user", "");
        if (p.options.contains("--password-file"))
            r.secret = readSecret(p.options.at("--password-file"), "--password-file");
        if (p.options.contains("--ca-file")) {
            const std::string ca = p.options.at("--ca-file");
            std::error_code ec;
            if (!std::ifstream(ca) || !fs::is_regular_file(ca, ec))
                throw UsageError{cli_text::cannotReadCa(ca), false};
            r.caFile = fs::absolute(ca).lexically_normal().string();
        }
    }
    const auto db = openDatabase(enterState(p));
    const std::int64_t id = db->outbox().addRecipient(r);
    const std::string what =
        cli_text::recipientNamed(id, kindText(r.kind), terminalCell(r.address), r.flagged);
    db->audit().append(cli_text::kRecipientAddedAction, what, kByCommandLine);
    say(stdout, cli_text::recipientAdded(what, id));
    return kExitOk;
}

int list(const Parsed& p) {
    expectWords(p, 2);
    onlyOptions(p, "notify list", {"--state"});
    const auto recipients = openDatabase(enterState(p))->outbox().recipients();
    if (recipients.empty()) {
        say(stdout, cli_text::kNoRecipients);
        return kExitOk;
    }
    for (const Recipient& r : recipients) {
        std::string line = "#" + std::to_string(r.id) + "  " + kindText(r.kind) + "  " +
                           terminalCell(shownAddress(r.address));
        if (r.kind == NotifyKind::Email)
            line += cli_text::viaSmtp(terminalCell(shownAddress(r.smtp)),
                                      r.user.empty() ? "" : terminalCell(r.user));
        line += r.flagged ? cli_text::kTakesFlagged : "";
        line += cli_text::deliveredAndPending(timeOrNever(r.lastSuccess), r.pending);
        if (r.failures > 0)
            line += cli_text::failingSince(localTimeText(r.failingSince), r.failures);
        if (r.givenUp > 0)
            line += cli_text::givenUp(r.givenUp);
        if (!r.lastError.empty())
            line += cli_text::lastError(localTimeText(r.lastErrorAt), terminalCell(r.lastError));
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
        throw UsageError{cli_text::noSuchRecipient(id), false};
    const Delivery to{r->kind, r->address, r->smtp, r->user, r->secret, r->caFile};
    const auto now = secondsNow();
    const auto error =
        r->kind == NotifyKind::Webhook
            ? send(to, notificationJson(testComment(now), ""), RetrySchedule{}.sendTimeout())
            : send(to, testMail(r->address, now), RetrySchedule{}.sendTimeout());
    const auto streak = db->outbox().recordTest(id, error, now);
    db->audit().append(cli_text::kTestAction,
                       "#" + std::to_string(id) +
                           (error ? cli_text::kTestNotDelivered : cli_text::kTestDelivered),
                       kByCommandLine);
    const std::string named =
        "#" + std::to_string(id) + "（" + terminalCell(shownAddress(r->address)) + "）";
    if (error) {
        say(stderr, cli_text::testFailed(named, terminalCell(*error)));
        return kExitFailure;
    }
    say(stdout, cli_text::testDelivered(named) +
                    (streak ? cli_text::streakEnded(streakText(*streak, now)) : ""));
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
        throw UsageError{cli_text::kFlaggedOnlyAdd};
    if (verb == "add")
        return add(p, flagged);
    if (verb == "list")
        return list(p);
    if (verb == "remove") {
        const std::int64_t id = recipientNumber(p, "remove");
        onlyOptions(p, "notify remove", {"--state"});
        const auto db = openDatabase(enterState(p));
        if (!db->outbox().removeRecipient(id))
            throw UsageError{cli_text::noSuchRecipient(id), false};
        db->audit().append(cli_text::kRecipientRemovedAction, "#" + std::to_string(id),
                           kByCommandLine);
        say(stdout, cli_text::recipientRemoved(id));
        return kExitOk;
    }
    if (verb == "test")
        return test(p);
    throw UsageError{cli_text::kNotifyVerbs};
}

} // namespace pelvoran::server
