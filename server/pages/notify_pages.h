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

/// The comment a notification links to, alone.
std::string oneCommentPage(const CommentRow& c, const std::string& csrf);

} // namespace pelvoran::server
