#include "server/cli/cli_texts.h"
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/comments/comment_export.h"
#include "server/release/agent.h"
#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/terminal_text.h"
#include "server/support/time_text.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelvoran::server {
namespace {

/// Columns a terminal gives the text: two for the wide East Asian
/// characters, one for the others.
std::size_t columns(const std::string& utf8) {
    std::size_t n = 0;
    for (const char16_t c : fromUtf8Lenient(utf8)) {
        if (c >= 0xDC00 && c <= 0xDFFF)
            continue; // the second half of a pair counted with the first
        n += (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                     (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                     (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                     (c >= 0xFFE0 && c <= 0xFFE6)
                 ? 2
                 : 1;
    }
    return n;
}

/// Rows under their heads, each column as wide as its widest cell; the last
/// column is not padded.
std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths.resize(std::max(widths.size(), row.size()));
            widths[i] = std::max(widths[i], columns(row[i]));
        }
    std::string out;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            out += row[i];
            if (i + 1 < row.size())
                out += std::string(widths[i] - columns(row[i]) + 2, ' ');
        }
        while (out.ends_with(' '))
            out.pop_back(); // the empty cells at the end of a clear
        out += '\n';
    }
    return out;
}

std::string timeText(std::chrono::sys_seconds time) {
    return time == std::chrono::sys_seconds{} ? cli_text::kUnknown : localTimeText(time);
}

void write(const std::string& out) {
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        throw std::runtime_error(cli_text::cannotWriteOut(systemErrorText(errno)));
}

} // namespace

int releaseHistoryCommand(Database& db, Platform platform) {
    const auto history = db.releases().history(INT64_MAX, platform);
    if (history.changes.empty()) {
        say(stdout, cli_text::noReleaseHistory(std::string(platformLabel(platform))));
        return kExitOk;
    }
    const auto offer = db.releases().offer(platform);
    const auto& live = offer.live;
    std::vector<std::vector<std::string>> rows = {
        {std::begin(cli_text::kReleaseHistoryHeads), std::end(cli_text::kReleaseHistoryHeads)}};
    for (const auto& c : history.changes) {
        const bool isLive = &c == &history.changes.front() && c.published && live == c.release;
        rows.push_back(
            {"#" + std::to_string(c.id) + (isLive ? " *" : ""), timeText(c.time),
             c.source.empty() ? cli_text::kUnknown : c.source,
             !c.published                    ? cli_text::kCleared
             : isLive && offer.rollout < 100 ? cli_text::publishedInPart(offer.rollout)
                                             : cli_text::kPublished,
             terminalCell(toUtf8(c.release.version)), terminalCell(toUtf8(c.release.date)),
             terminalCell(toUtf8(c.release.address)),
             c.file ? c.file->name + "，" + sizeText(c.file->size) + "，SHA-256 " + c.file->sha256
                    : ""});
    }
    write(table(rows));
    say(stdout, cli_text::releaseHistoryFooter(std::string(platformLabel(platform)), history.total,
                                               live.has_value()));
    return kExitOk;
}

int auditCommand(const std::vector<std::string>& args) {
    const Parsed p = parse(args, {"--state", "--database", "--limit"});
    const std::string verb = p.words.size() > 1 ? p.words[1] : "";
    if (verb != "list")
        throw UsageError{cli_text::kAuditVerbs};
    expectWords(p, 2);
    const unsigned limit = number(p, "--limit", 50, 1000000);
    if (limit == 0)
        throw UsageError{cli_text::kNoLimit};
    const auto log = openDatabase(enterState(p))->audit().page(0, limit);
    if (log.entries.empty()) {
        say(stdout, cli_text::kAuditEmpty);
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows = {
        {std::begin(cli_text::kAuditHeads), std::end(cli_text::kAuditHeads)}};
    for (const auto& e : log.entries)
        rows.push_back(
            {"#" + std::to_string(e.id), timeText(e.time),
             e.source.empty() ? cli_text::kUnknown : e.source, terminalCell(e.action),
             terminalCell(e.detail) +
                 (e.address.empty() ? "" : cli_text::auditFrom(terminalCell(e.address)))});
    write(table(rows));
    say(stdout, cli_text::auditFooter(log.total, log.entries.size()));
    return kExitOk;
}

} // namespace pelvoran::server
