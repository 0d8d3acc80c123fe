#pragma once

// The stores' rows as the pages are given them: a comment's source and a
// recipient's kind in the publisher's words, addresses without user or
// password, no secret.

#include "server/pages/rows.h"
#include "server/pages/use_page.h"
#include "server/store/store.h"

#include <vector>

namespace pelvoran::server {

CommentRow commentRow(const StoredComment& c);
std::optional<AnswerRow> answerRow(const std::optional<StoredAnswer>& a);
CommentRows commentRows(const CommentPage& page);
RecipientRow recipientRow(const Recipient& r);
std::vector<RecipientRow> recipientRows(const std::vector<Recipient>& recipients);
ReleaseRows releaseRows(const ReleaseHistory& history);
AuditRows auditRows(const AuditPage& log);
/// The counts, each day's distinct clients as the nearest whole number.
FieldDays fieldDays(const FieldCounts& field);

} // namespace pelvoran::server
