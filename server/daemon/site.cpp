#include "server/daemon/site.h"

#include "server/admin/admin_site.h"
#include "server/admin/metrics.h"
#include "server/comments/comment_decoding.h"
#include "server/daemon/answer_desk.h"
#include "server/daemon/daemon_texts.h"
#include "server/http/download.h"
#include "server/http/handler.h"
#include "server/http/limits.h"
#include "server/http/web.h"
#include "server/pages/html.h"
#include "server/pages/public_site.h"
#include "server/release/agent.h"
#include "server/release/release_reply.h"
#include "server/store/comment_writer.h"
#include "server/store/field_counter.h"
#include "server/store/store.h"
#include "server/support/line_breaks.h"
#include "server/support/time_text.h"
#include "server/upkeep/health.h"

#include "net/comment_post.h"
#include "net/wire.h"

#include <map>

namespace pelvoran::server {
namespace {

/// The days of update checks, counted without a clock call per request.
std::chrono::local_days today(std::chrono::sys_seconds now) {
    thread_local std::chrono::sys_seconds second{std::chrono::seconds(-1)};
    thread_local std::chrono::local_days day{};
    if (now != second) {
        second = now;
        day = localDay(now);
    }
    return day;
}

/// A form's field, empty when it is not there.
std::string field(const std::map<std::string, std::string>& form, const char* name) {
    const auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

/// The lookup page after the web comment of `request` could not be stored
/// or was refused, the comment kept in the form.
WebResponse commentFailed(const WebRequest& request, unsigned status, const std::string& why) {
    return commentFailedPage(request.root, status, why,
                             field(parseForm(request.body), kWebCommentField));
}

} // namespace

std::optional<WebResponse> Site::admitUpload(const Incoming& in) {
    if (!in.admin)
        return RequestHandler::admitUpload(in);
    return parts_.admin.admitUpload(in.request);
}

std::optional<WebResponse> Site::answer(const Incoming& in, Later later) {
    if (in.admin) {
        if (in.tooLarge)
            return textResponse(413, daemon_text::requestTooLarge(maxBodyText()));
        return parts_.admin.handle(in.request, in.match.route, std::move(later));
    }
    switch (in.match.route) {
    case Route::UpdateCheck: {
        const Agent agent = parseAgent(in.userAgent);
        const ReleaseReply::Answer reply = parts_.reply.choose(agent, in.network);
        if (in.request.method == "GET") {
            const auto day = today(secondsNow());
            const CheckLabel counted = parts_.field.check(day, agent, in.network);
            parts_.metrics.updateCheck(counted.version, counted.platform);
            // A tool that names no platform is answered as a Windows tool.
            if (!reply.offered.empty()) {
                const Platform platform = reply.platform.value_or(Platform::Windows);
                parts_.field.offer(day, platform, reply.offered);
                parts_.metrics.offer(reply.offered, platformName(platform));
            }
        }
        return WebResponse{200, "text/plain", *reply.body, {}};
    }
    case Route::DesktopComment: return desktopComment(in, later);
    case Route::WebComment: return webComment(in, later);
    case Route::AnswerFetch:
    case Route::AnswerSeen: {
        if (in.tooLarge)
            return textResponse(400, daemon_text::kBadAnswerRequest);
        if (!parts_.answerLimiter.allow(in.client, 0))
            return textResponse(429, daemon_text::kAnswersTooFrequent);
        return in.match.route == Route::AnswerFetch ? parts_.answers.fetch(in.request.body, later)
                                                    : parts_.answers.seen(in.request.body, later);
    }
    case Route::LookupPage: {
        // Each platform's line, so that no one takes the other's program.
        std::vector<PageDownload> downloads;
        for (const Platform platform : {Platform::Windows, Platform::Linux}) {
            if (const auto live =
                    parts_.downloads ? parts_.downloads->live(platform) : std::nullopt)
                downloads.push_back({live->file, live->version});
        }
        const auto code = in.request.query.find("code");
        return lookupPage(
            {in.request.root,
             code == in.request.query.end() ? std::nullopt : std::optional(code->second), "", "",
             downloads});
    }
    case Route::ReplyLookup: return replyLookup(in, later);
    case Route::CommentThanks: return thanksPage(in.request.root);
    case Route::StyleSheet: return styleSheet();
    case Route::HelpPhoto: return helpPhoto();
    case Route::Download: return download(in);
    case Route::Health: {
        const HealthReport health = parts_.health.report(parts_.writer.lastFailure());
        WebResponse r = textResponse(health.ok ? 200 : 503, health.text);
        r.headers.emplace_back("Cache-Control", "no-store");
        return r;
    }
    case Route::NotAllowed: return publicErrorPage(405, in.match.allow, in.request.root);
    default: return publicErrorPage(404, "GET, HEAD", in.request.root);
    }
}

std::optional<WebResponse> Site::desktopComment(const Incoming& in, Later& later) {
    if (in.tooLarge)
        return refused(textResponse(413, daemon_text::requestTooLarge(maxBodyText())));
    const auto comment = decodeDesktopComment(in.request.body);
    if (!comment)
        return refused(textResponse(
            400, daemon_text::mustBeginWith(std::string(wire::kCommentField.ascii()))));
    if (isBlankComment(*comment))
        return refused(textResponse(400, daemon_text::kEmptyComment));
    if (!parts_.limiter.allow(in.client, in.request.body.size()))
        return refused(textResponse(429, std::string(daemon_text::kTooFrequent) + "\n"));
    // Held or not, the tool hears the same.
    std::string held = hold_.reason(*comment, in.network);
    // A reply key not as the tools make it is not kept: the comment is.
    std::string key = isReplyKey(in.replyKey) ? in.replyKey : std::string();
    const bool taken = parts_.writer.submit(
        {*comment, in.request.body, kFromDesktop, secondsNow(), false, in.client, held,
         std::move(key)},
        [this, later = std::move(later), held](bool stored, std::int64_t number) {
            if (!stored)
                return later(refused(textResponse(503, daemon_text::kNotStored)));
            counted(held);
            WebResponse r = textResponse(200, daemon_text::kStored);
            // The tool keeps its secret only when the key was kept.
            if (number != 0)
                r.headers.emplace_back(wire::kCommentNumberHeader.ascii(), std::to_string(number));
            later(std::move(r));
        });
    if (!taken) // stopping: not stored, and the client hears so
        return refused(textResponse(503, daemon_text::kNotStored));
    return std::nullopt;
}

std::optional<WebResponse> Site::webComment(const Incoming& in, Later& later) {
    if (in.tooLarge)
        return refused(commentFailed(in.request, 413, daemon_text::commentTooLong(maxBodyText())));
    const auto form = parseForm(in.request.body);
    const Text text = fromUtf8Lenient(field(form, kWebCommentField));
    if (isBlankComment(text))
        return refused(commentFailed(in.request, 400, toUtf8(comment_text::kEmptyMessage)));
    if (!parts_.limiter.allow(in.client, in.request.body.size()))
        return refused(commentFailed(
            in.request, 429, std::string(daemon_text::kTooFrequent) + daemon_text::kStillBelow));
    // A comment that fills the field meant for bots is stored flagged, one
    // that looks like spam held, neither thrown away; its line breaks as the
    // desktop endpoint stores them.
    Text lines = oneLfPerLineBreak(text);
    std::string held = hold_.reason(lines, in.network);
    const char* const notStored = daemon_text::kNotStoredBelow;
    // The code the writer keeps to read the answer; the server keeps only
    // its hash, as the tools' secrets. A comment caught by the bot trap or
    // held gets a code like any other, its key stored: the page a bot sees
    // is the one a person sees, so it learns nothing of the trap or the
    // rules, and the trap also catches people whose browsers fill the
    // field, whom the publisher may answer as any other writer.
    std::string code;
    try {
        code = drawReplyCode();
    } catch (const std::exception&) {
        return refused(commentFailed(in.request, 503, notStored));
    }
    NewComment comment{.text = std::move(lines),
                       .raw = in.request.body,
                       .source = kFromWeb,
                       .received = secondsNow(),
                       .flagged = !field(form, kTrapField).empty(),
                       .client = in.client,
                       .held = held,
                       .replyKey = replyKeyOfCode(code)};
    // The receipt is the post's own page, shown once and kept by no cache:
    // the code never goes into an address, where history and logs keep it.
    const bool taken = parts_.writer.submit(
        std::move(comment), [this, later = std::move(later), request = in.request, notStored, held,
                             shown = replyCodeText(code)](bool stored, std::int64_t number) {
            if (!stored)
                return later(refused(commentFailed(request, 503, notStored)));
            counted(held);
            // Without its key kept, a code would read nothing: the thanks
            // alone then.
            later(number != 0 ? receiptPage(request.root, shown) : thanksPage(request.root));
        });
    if (!taken)
        return refused(commentFailed(in.request, 503, notStored));
    return std::nullopt;
}

std::optional<WebResponse> Site::replyLookup(const Incoming& in, Later& later) {
    const std::string& root = in.request.root;
    if (in.tooLarge)
        return replyRefusedPage(root, 413, daemon_text::kBadReplyCode, "");
    const std::string typed = field(parseForm(in.request.body), kReplyCodeField);
    // The tools' limit: guessing at speed gets nowhere, and the database
    // stays quiet.
    if (!parts_.answerLimiter.allow(in.client, 0))
        return replyRefusedPage(root, 429, daemon_text::kReplyTooFrequent, typed);
    const auto code = readReplyCode(typed);
    if (!code)
        return replyRefusedPage(root, 400, daemon_text::kBadReplyCode, typed);
    return parts_.answers.read(replyKeyOfCode(*code), root, later);
}

WebResponse Site::download(const Incoming& in) {
    const std::string& path = in.request.path;
    const std::string& root = in.request.root;
    const auto served = parts_.downloads && path.starts_with(root)
                            ? parts_.downloads->find(std::string_view(path).substr(root.size()))
                            : std::nullopt;
    if (!served)
        return publicErrorPage(404, "GET, HEAD", root);
    WebResponse w = downloadAnswer(*served, in.request);
    if (countsAsDownload(in.request, *served, w))
        w.completed = [told = parts_.downloaded, platform = served->file.platform,
                       version = served->version,
                       network = in.network] { told(platform, version, network); };
    return w;
}

void Site::counted(const std::string& held) {
    parts_.metrics.stored();
    if (!held.empty())
        parts_.metrics.held(held);
}

WebResponse Site::refused(WebResponse r) {
    parts_.metrics.refused(r.status);
    return r;
}

} // namespace pelvoran::server
