#include "server/admin/admin_reply.h"
#include "server/admin/admin_site.h"
#include "server/admin/admin_texts.h"
#include "server/admin/page_rows.h"

#include "server/release/release.h"
#include "server/release/release_reply.h"
#include "server/release/release_signing.h"
#include "server/release/update_key.h"
#include "server/support/state_files.h"

namespace pelvoran::server {

ReleaseView releaseView(Database& db, Platform platform, const std::string& csrf) {
    ReleaseView view;
    view.platform = platform;
    view.csrf = csrf;
    auto offer = db.releases().offer(platform);
    view.shown = std::move(offer.live);
    view.rollout = offer.rollout;
    view.earlier = std::move(offer.earlier);
    view.downloadBase = db.downloads().base();
    return view;
}

WebResponse releaseReply(Database& db, unsigned status, ReleaseView& view) {
    view.history = releaseRows(db.releases().history(kHistoryShown, view.platform));
    return page(status, releasePage(view));
}

WebResponse rollout(Database& db, ReleaseView& view, const std::string& percent) {
    view.draft = draftFor(view, view.shown.value_or(Release{}));
    const auto n = parsePercentage(percent);
    if (!n) {
        view.percentError = admin_text::kPercentProblem;
        return releaseReply(db, 400, view);
    }
    if (!db.releases().setRollout(view.platform, *n, kByPages)) {
        view.notice = admin_text::kNothingToRollOut;
        return releaseReply(db, 409, view);
    }
    return redirect(releaseAddress(view.platform, "done=rollout"));
}

PageSigning pageSigning(const std::string& stateDir, ReleaseView& view) {
    PageSigning signing;
    signing.publicKey = statePublicKey(stateDir);
    if (!signing.publicKey.empty())
        signing.privateKey = statePrivateKey(stateDir);
    view.keyed = !signing.publicKey.empty();
    view.signsHere = signing.privateKey.has_value();
    return signing;
}

Release draftFor(const ReleaseView& view, Release r) {
    // With the private key here, publishing signs: the form's field stays
    // empty rather than hold a signature of what it showed before. Without
    // the public key, a signature is refused: one kept from a release signed
    // before the key went would only stand in the way.
    if (view.signsHere || !view.keyed)
        r.signature.clear();
    return r;
}

std::vector<ReleaseProblem> checkedForPages(Release& release, const PageSigning& signing) {
    auto problems = releaseProblems(release);
    if (problems.empty() && release.signature.empty() && signing.privateKey)
        release.signature = signRelease(*signing.privateKey, release);
    for (auto& problem : signingProblems(release, signing.publicKey))
        problems.push_back(std::move(problem));
    return problems;
}

WebResponse publishFromPages(Database& db, ReleaseView& view, const PageSigning& signing,
                             PublishAct act, const std::string& detail,
                             const std::optional<ReleaseFile>& file) {
    const bool again = act == PublishAct::Republish;
    Release checked = view.draft;
    const auto percent = parsePercentage(view.draftRollout);
    if (const auto problems = checkedForPages(checked, signing); !problems.empty() || !percent) {
        for (const auto& problem : problems)
            view.errors.emplace(problem.field, toUtf8(problem.message));
        // A row to mend comes back without a signature the page would
        // replace or refuse: the mended fields are signed anew.
        if (again)
            view.draft = draftFor(view, view.draft);
        return releaseReply(db, 400, view);
    }
    db.releases().publish(checked, kByPages, again ? admin_text::kRepublish : admin_text::kPublish,
                          detail, view.platform, *percent, file);
    // A reload of the page the browser is sent to publishes nothing again.
    std::string to = again ? "done=republished" : "done=published";
    for (const auto& c : db.releases().history(kHistoryShown, view.platform).changes)
        if (c.published && c.source == kByPages && c.release == checked) {
            to += "&id=" + std::to_string(c.id);
            break;
        }
    return redirect(releaseAddress(view.platform, to));
}

WebResponse publishUpload(Database& db, ReleaseView& view, const PageSigning& signing,
                          const WebRequest::Upload& upload, const std::string& formBase) {
    if (!isDownloadName(upload.name)) {
        view.fileError = admin_text::kBadFileName;
        return releaseReply(db, 400, view);
    }
    const std::string base = view.downloadBase.empty() ? formBase : view.downloadBase;
    if (base.empty()) {
        view.baseError = admin_text::kNoDownloadBase;
        return releaseReply(db, 400, view);
    }
    if (const auto problem = downloadBaseProblem(base, view.keyed)) {
        view.baseError = *problem;
        return releaseReply(db, 400, view);
    }
    view.draft.address = fromUtf8Lenient(
        downloadAddress(base, view.platform, toUtf8(view.draft.version), upload.name));
    // The release's own checks first: a refused form stores no file.
    Release checked = view.draft;
    if (const auto problems = checkedForPages(checked, signing); !problems.empty())
        return publishFromPages(db, view, signing, PublishAct::Publish);
    StoredFile stored;
    try {
        stored = db.downloads().store(upload.fd, upload.limit, upload.name);
    } catch (const FileRefused& e) {
        view.fileError = admin_text::fileRefused(e);
        return releaseReply(db, 400, view);
    } catch (const StoredFileDeleted& e) {
        // Said on the database's error page, as any failure of the store.
        throw std::runtime_error(admin_text::storedFileDeleted(e.file()));
    }
    const std::string version = toUtf8(view.draft.version);
    if (const auto there = db.downloads().fileAt(view.platform, version, upload.name);
        there && *there != stored.sha256) {
        view.fileError = downloadPath(view.platform, version, upload.name) +
                         admin_text::kOtherFileBefore + *there + admin_text::kOtherFileAfter;
        return releaseReply(db, 409, view);
    }
    if (view.downloadBase.empty())
        db.downloads().setBase(base);
    return publishFromPages(db, view, signing, PublishAct::Publish, "",
                            ReleaseFile{view.platform, upload.name, stored.sha256, stored.size});
}

std::string doneNotice(Database& db, std::string_view done, std::string_view id,
                       Platform platform) {
    if (done == "cleared")
        return platform == Platform::Windows ? admin_text::kCleared
                                             : admin_text::clearedFor(platformLabel(platform));
    if (done == "rollout") {
        const auto offer = db.releases().offer(platform);
        if (!offer.live)
            return "";
        return admin_text::rolledOut(offer.rollout, toUtf8(offer.live->version),
                                     platformLabel(platform));
    }
    const auto row = wholeNumber(id);
    if ((done != "published" && done != "republished") || !row || *row < 1)
        return "";
    const auto change = db.releases().change(*row);
    if (!change || !change->published || change->platform != platform)
        return "";
    std::string notice =
        admin_text::published(done != "published", toUtf8(change->release.version));
    // Rows are only ever appended: the platform's row before is what was
    // live, unless it is a clear.
    std::optional<ReleaseChange> before;
    for (const auto& c : db.releases().history(kHistoryShown, platform).changes)
        if (c.id < *row) {
            before = c;
            break;
        }
    if (before && before->published)
        if (const auto rollback = rollbackNotice(change->release, before->release))
            notice += toUtf8(*rollback);
    return notice;
}

WebResponse AdminSite::republish(const WebRequest& request, const std::string& csrf) {
    const auto form = parseForm(request.body);
    const auto id = wholeNumber(value(form, "id"));
    if (!id || *id < 1)
        return page(400, badRepublishPage(admin_text::kBadHistoryRow));
    Database db(database_);
    const auto change = db.releases().change(*id);
    if (!change)
        return page(404, badRepublishPage(admin_text::noHistoryRow(*id)));
    if (!change->published)
        return page(400, badRepublishPage(admin_text::clearedHistoryRow(*id)));
    ReleaseView view = releaseView(db, change->platform, csrf);
    const PageSigning signing = pageSigning(stateDir_, view);
    // A row that the release rule now refuses comes back into the form,
    // with what to mend beside each field; it keeps its signature, or is
    // signed here when the key is.
    view.draft = change->release;
    return publishFromPages(db, view, signing, PublishAct::Republish,
                            admin_text::fromHistoryRow(*id), change->file);
}

WebResponse AdminSite::audit(const WebRequest& request) {
    AuditView view;
    view.pageNo = pageAsked(value(request.query, "page"));
    Database db(database_);
    view.log = auditRows(db.audit().page((view.pageNo - 1) * kAuditPerPage, kAuditPerPage));
    if (const std::int64_t pages = (view.log.total + kAuditPerPage - 1) / kAuditPerPage;
        pages > 0 && view.pageNo > pages) {
        view.pageNo = pages; // past the end: the last page there is
        view.log = auditRows(db.audit().page((pages - 1) * kAuditPerPage, kAuditPerPage));
    }
    return page(200, auditPage(view));
}

} // namespace pelvoran::server
