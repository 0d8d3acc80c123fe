#pragma once

#include "server/pages/rows.h"

#include <string>
#include <vector>

namespace pelvoran::server {

// The notifications' admin pages as HTML, from data alone. No secret ever
// reaches them: the forms' secret fields are always empty.

struct NotifyView {
    std::vector<RecipientRow> recipients;
    std::string csrf;
    bool linked = false; // --admin-base-url was given
    std::string notice;  // what was just done
    std::string error;   // why the last form was refused
    /// What the refused add form held, but its secret.
    RecipientRow draft;
};
std::string notifyPage(const NotifyView& view);

/// Asks before removing the recipient `r`.
std::string removeRecipientPage(const RecipientRow& r, const std::string& csrf);
/// A form naming no recipient there is.
std::string noSuchRecipientPage();

/// What the comment's page says of its answer: what was done (`notice`) or
/// why not (`error`), and the text of a refused form.
struct AnswerView {
    std::optional<AnswerRow> answer = std::nullopt;
    std::string notice = {};
    std::string error = {};
    std::optional<Text> draft = std::nullopt; // what a refused form held
};

/// The comment a notification links to, alone, with its answer: the form
/// to write, edit or withdraw it, or why it cannot be answered.
std::string oneCommentPage(const CommentRow& c, const std::string& csrf,
                           const AnswerView& answer = {});

} // namespace pelvoran::server
