#include "server/admin_reply.h"
#include "server/admin_site.h"

#include "server/release.h"

namespace pelvoran::server {

WebResponse releaseReply(Database& db, unsigned status, ReleaseView& view) {
    view.history = db.releaseHistory(kHistoryShown);
    return page(status, releasePage(view));
}

WebResponse publishFromPages(Database& db, ReleaseView& view, const std::string& action,
                             const std::string& detail) {
    if (const auto problems = releaseProblems(view.draft); !problems.empty()) {
        for (const auto& problem : problems)
            view.errors[problem.field] = toUtf8(problem.message);
        return releaseReply(db, 400, view);
    }
    db.setRelease(view.draft, kByPages, action, detail);
    const auto notice = rollbackNotice(view.draft, view.shown);
    view.shown = view.draft;
    view.notice =
        "已" + action + " " + toUtf8(view.draft.version) + "：正在运行的服务器一秒内开始提供。";
    if (notice)
        view.notice += toUtf8(*notice);
    return releaseReply(db, 200, view);
}

WebResponse AdminSite::republish(const WebRequest& request, const std::string& csrf) {
    const auto form = parseForm(request.body);
    const auto id = wholeNumber(value(form, "id"));
    if (!id || *id < 1)
        return page(400, badRepublishPage("表单中的发布记录编号（id）不对。"));
    Database db(databasePath(stateDir_));
    const auto change = db.releaseChange(*id);
    if (!change)
        return page(404, badRepublishPage("没有第 " + std::to_string(*id) + " 条发布记录。"));
    if (!change->published)
        return page(400, badRepublishPage("第 " + std::to_string(*id) +
                                          " 条发布记录是一次撤下，没有可以重新发布的内容。"));
    ReleaseView view;
    view.csrf = csrf;
    view.shown = db.release();
    // A row that the release rule now refuses comes back into the form,
    // with what to mend beside each field.
    view.draft = change->release;
    return publishFromPages(db, view, "重新发布", "（发布记录 #" + std::to_string(*id) + "）");
}

WebResponse AdminSite::audit(const WebRequest& request) {
    AuditView view;
    view.pageNo = pageAsked(value(request.query, "page"));
    Database db(databasePath(stateDir_));
    view.log = db.auditLog((view.pageNo - 1) * kAuditPerPage, kAuditPerPage);
    if (const std::int64_t pages = (view.log.total + kAuditPerPage - 1) / kAuditPerPage;
        pages > 0 && view.pageNo > pages) {
        view.pageNo = pages; // past the end: the last page there is
        view.log = db.auditLog((pages - 1) * kAuditPerPage, kAuditPerPage);
    }
    return page(200, auditPage(view));
}

} // namespace pelvoran::server
