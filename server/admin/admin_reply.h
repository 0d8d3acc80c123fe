#pragma once

#include "server/http/web.h"
#include "server/pages/admin_pages.h"
#include "server/store/store.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

// What the admin pages' handlers share: reading forms, and the answers they
// give.

/// A decimal number as a form or an address carries it: digits, a leading
/// minus at most, nothing around them, within 64 bits.
std::optional<std::int64_t> wholeNumber(std::string_view s);

/// The page of a list asked for, 1 or more: a number too large for 64 bits
/// asks for the end, anything that is no number for the start.
std::int64_t pageAsked(std::string_view s);

/// A page, never cached.
WebResponse page(unsigned status, std::string html);
/// A 303 to `to`, a path of this site.
WebResponse redirect(const std::string& to);

/// The release page of `platform` as `db` has it now, without a draft.
ReleaseView releaseView(Database& db, Platform platform, const std::string& csrf);

/// Offers the live release of the view's platform to `percent` of the
/// networks: a 303 to the page, whose notice says so; the page with the
/// percentage's error (400) or that nothing is published (409).
WebResponse rollout(Database& db, ReleaseView& view, const std::string& percent);

/// The release page for `view`, with the release history of its platform.
WebResponse releaseReply(Database& db, unsigned status, ReleaseView& view);

/// What signing asks of a release published from the pages: the public key
/// kept in the state directory (empty: none) and the private key, when it
/// is kept there too.
struct PageSigning {
    std::string publicKey;
    std::optional<std::string> privateKey;
};

/// The state directory's keys, and what the release page says of them.
PageSigning pageSigning(const std::string& stateDir, ReleaseView& view);

/// `r` as the release form shows it: without its signature when the page
/// signs by itself, or when the state directory holds no public key to
/// check one by.
Release draftFor(const ReleaseView& view, Release r);

/// What keeps `release` from being published from the pages: the release
/// rule's problems and the signature's. Signs it first when the private key
/// is here and it carries no signature.
std::vector<ReleaseProblem> checkedForPages(Release& release, const PageSigning& signing);

/// What the pages publish: the release form's draft, or a row of the
/// release history again (重新发布).
enum class PublishAct { Publish, Republish };

/// Publishes the draft of `view` for its platform and at its percentage
/// from the pages, through the release form's checks: its fields' errors
/// (400), or a 303 to the release page, whose
/// notice (doneNotice) says it is live, with the rollback notice when it is
/// one. `detail` follows the version in the audit log; `file` is the
/// served file of the history row published again.
WebResponse publishFromPages(Database& db, ReleaseView& view, const PageSigning& signing,
                             PublishAct act, const std::string& detail = "",
                             const std::optional<ReleaseFile>& file = std::nullopt);

/// Publishes the draft of `view` with the file uploaded in its form, as
/// `release set --file` does: the file kept in the database, the address
/// its path under the download base (the stored one, or `formBase` the
/// first time, then stored). A refusal is the page with what is wrong
/// beside the field at fault (400; 409 for another file at a published path).
WebResponse publishUpload(Database& db, ReleaseView& view, const PageSigning& signing,
                          const WebRequest::Upload& upload, const std::string& formBase);

/// The release page's notice after the 303 of a publish, a clear or a
/// rollout: `done` is "published", "republished", "cleared" or "rollout",
/// `id` the history row a publish wrote, whose fields the notice is made
/// of; a rollout's is made of the offer of `platform` now. Empty for
/// anything else, so that an address names no text of its own.
std::string doneNotice(Database& db, std::string_view done, std::string_view id,
                       Platform platform = Platform::Windows);

} // namespace pelvoran::server
