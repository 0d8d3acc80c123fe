#include "server/admin/page_rows.h"

#include "server/comments/comment_export.h"
#include "server/comments/comment_hold.h"
#include "server/notify/notify.h"

#include <cmath>

namespace pelvoran::server {

CommentRow commentRow(const StoredComment& c) {
    return {c.id,
            c.received,
            c.text,
            sourceName(c.source),
            c.read,
            c.flagged,
            heldText(c.held),
            c.answerable,
            c.answer != AnswerMark::None,
            c.answer == AnswerMark::Delivered};
}

std::optional<AnswerRow> answerRow(const std::optional<StoredAnswer>& a) {
    if (!a)
        return std::nullopt;
    return AnswerRow{a->text, a->written, a->delivered};
}

CommentRows commentRows(const CommentPage& page) {
    CommentRows rows{{}, page.total};
    for (const StoredComment& c : page.comments)
        rows.comments.push_back(commentRow(c));
    return rows;
}

RecipientRow recipientRow(const Recipient& r) {
    RecipientRow row;
    row.id = r.id;
    row.email = r.kind == NotifyKind::Email;
    row.kind = kindText(r.kind);
    row.address = shownAddress(r.address);
    row.smtp = shownAddress(r.smtp);
    row.user = r.user;
    row.caFile = r.caFile;
    row.flagged = r.flagged;
    row.lastSuccess = r.lastSuccess;
    row.lastError = r.lastError;
    row.lastErrorAt = r.lastErrorAt;
    row.failures = r.failures;
    row.failingSince = r.failingSince;
    row.givenUp = r.givenUp;
    row.pending = r.pending;
    return row;
}

std::vector<RecipientRow> recipientRows(const std::vector<Recipient>& recipients) {
    std::vector<RecipientRow> rows;
    for (const Recipient& r : recipients)
        rows.push_back(recipientRow(r));
    return rows;
}

ReleaseRows releaseRows(const ReleaseHistory& history) {
    ReleaseRows rows{{}, history.total};
    for (const ReleaseChange& c : history.changes)
        rows.changes.push_back(
            {c.id, c.time, c.published, c.release, c.source, c.platform, c.file});
    return rows;
}

AuditRows auditRows(const AuditPage& log) {
    AuditRows rows{{}, log.total};
    for (const AuditEntry& e : log.entries)
        rows.entries.push_back({e.id, e.time, e.action, e.detail, e.source, e.address});
    return rows;
}

FieldDays fieldDays(const FieldCounts& field) {
    const auto tally = [](const FieldTally& counts) {
        VersionTally out;
        for (const auto& [key, n] : counts)
            out[{key.platform, key.version}] = n;
        return out;
    };
    FieldDays days;
    for (const auto& [day, counts] : field) {
        FieldDay& shown = days[day];
        shown.checks = tally(counts.checks);
        shown.offers = tally(counts.offers);
        shown.downloads = tally(counts.downloads);
        if (counts.clients)
            shown.clients = std::llround(counts.clients->estimate());
    }
    return days;
}

} // namespace pelvoran::server
