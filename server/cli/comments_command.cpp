#include "server/cli/backup_file.h"
#include "server/cli/cli_texts.h"
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/comments/comment_export.h"
#include "server/comments/comment_hold.h"
#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/state_files.h"
#include "server/support/terminal_text.h"
#include "server/support/time_text.h"
#include "server/upkeep/backups.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <set>
#include <stdexcept>

namespace pelvoran::server {
namespace {

/// A comment number as comments list shows it after "#": a whole number from 1.
std::int64_t commentNumber(const std::string& word) {
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), id);
    if (error != std::errc() || end != word.data() + word.size() || id < 1)
        throw UsageError{cli_text::badCommentNumber(word)};
    return id;
}

/// The comment numbers after `comments delete`.
std::vector<std::int64_t> commentNumbers(const Parsed& p) {
    if (p.words.size() < 3)
        throw UsageError{cli_text::kDeleteNeedsNumbers};
    std::vector<std::int64_t> ids;
    for (std::size_t i = 2; i < p.words.size(); ++i)
        ids.push_back(commentNumber(p.words[i]));
    return ids;
}

std::string listed(const StoredComment& c) {
    return "#" + std::to_string(c.id) + "  " + localTimeText(c.received) + "  " +
           sourceName(c.source) + "  " +
           (!c.held.empty() ? heldText(c.held)
            : c.flagged     ? cli_text::kFlagged
            : c.read        ? cli_text::kRead
                            : cli_text::kUnread) +
           "\n" + terminalText(c.text) + "\n";
}

/// A deleted or approved comment on one line: its number, time, source and first line,
/// so that a mistyped number is seen at once.
std::string commentLine(const StoredComment& c) {
    // A long first line is cut: the line is for recognising the comment.
    constexpr std::size_t kShown = 60;
    Text first = c.text.substr(0, c.text.find(u'\n'));
    if (first.size() > kShown)
        first = first.substr(0, kShown) + u"…";
    return "  #" + std::to_string(c.id) + "  " + localTimeText(c.received) + "  " +
           sourceName(c.source) + "  " + terminalCell(toUtf8(first));
}

int deleteCommand(const Parsed& p) {
    const auto ids = commentNumbers(p);
    if (p.options.size() > p.options.count("--state") + p.options.count("--database"))
        throw UsageError{cli_text::kDeleteOptions};
    const auto db = openDatabase(enterState(p));
    // Read before they go; a number that is missing deletes nothing at all.
    std::vector<StoredComment> going;
    for (const std::int64_t id : std::set<std::int64_t>(ids.begin(), ids.end()))
        if (auto c = db->comments().find(id))
            going.push_back(std::move(*c));
    const auto missing = db->comments().remove(ids, kByCommandLine);
    if (!missing.empty()) {
        std::string numbers;
        for (const std::int64_t id : missing)
            numbers += (numbers.empty() ? "#" : "、#") + std::to_string(id);
        throw UsageError{cli_text::noSuchComments(numbers), false};
    }
    say(stdout, cli_text::deletedComments(going.size()));
    for (const StoredComment& c : going)
        say(stdout, commentLine(c));
    switch (db->comments().remnant()) {
    case Remnant::none: return kExitOk;
    case Remnant::writeAheadLog:
        say(stderr, cli_text::deletedTextInWal(std::string(kDatabaseFile) + kWalSuffix));
        return kExitFailure;
    case Remnant::tableFiles: say(stderr, cli_text::kDeletedTextInTables); return kExitFailure;
    }
    return kExitFailure;
}

/// Lets a comment held as likely spam through, as the comments page's 放行
/// does: the same store call, so notified once and logged as the command
/// line's.
int approveCommand(const Parsed& p) {
    if (p.words.size() != 3)
        throw UsageError{cli_text::kApproveNeedsNumber};
    const std::int64_t id = commentNumber(p.words[2]);
    if (p.options.size() > p.options.count("--state") + p.options.count("--database"))
        throw UsageError{cli_text::kApproveOptions};
    const auto db = openDatabase(enterState(p));
    if (!db->comments().approve(id, kByCommandLine)) {
        throw UsageError{db->comments().find(id) ? cli_text::notHeld(id)
                                                 : cli_text::noSuchCommentToApprove(id),
                         false};
    }
    say(stdout, cli_text::approvedComment(id));
    if (const auto c = db->comments().find(id))
        say(stdout, commentLine(*c));
    return kExitOk;
}

} // namespace

int commentsCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state", "--database", "--since", "--format", "--backup"});
    const std::string verb = p.words.size() > 1 ? p.words[1] : "";
    if (verb == "delete")
        return deleteCommand(p);
    if (verb == "approve")
        return approveCommand(p);
    expectWords(p, 2);
    if (verb != "list" && verb != "export")
        throw UsageError{cli_text::kCommentsVerbs};
    const std::string format = optionOr(p, "--format", "jsonl");
    if (verb == "list" && p.options.contains("--format"))
        throw UsageError{cli_text::kFormatOnlyExport};
    if (format != "jsonl" && format != "csv")
        throw UsageError{cli_text::kFormats};
    const auto from = since(p);
    std::vector<StoredComment> comments;
    if (const auto backup = p.options.find("--backup"); backup != p.options.end()) {
        if (p.options.contains("--state"))
            throw UsageError{cli_text::kBackupOrState};
        openBackupFile(backup->second, "--backup");
        try {
            comments = backupComments(backup->second, backup->second, from);
        } catch (const RefusedBackup& e) {
            throw UsageError{"--backup：" + cli_text::refusedBackup(e), false};
        } catch (const StoreError& e) {
            throw std::runtime_error(cli_text::cannotReadBackupComments(backup->second, e.what()));
        }
    } else {
        comments = openDatabase(enterState(p))->comments().list(from);
    }
    std::string out;
    if (verb == "list") {
        for (const auto& c : comments)
            out += listed(c);
        out += comments.empty() ? cli_text::kNoComments : cli_text::commentsCount(comments.size());
    } else {
        out =
            commentExport(comments, format == "csv" ? ExportFormat::Csv : ExportFormat::JsonLines);
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        throw std::runtime_error(cli_text::cannotWriteOut(systemErrorText(errno)));
    return kExitOk;
}

} // namespace pelvoran::server
