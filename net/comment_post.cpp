#include "net/comment_post.h"

#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "net/ignore_errors.h"

#include <string>

namespace pelvoran {

bool isBlankComment(TextView comment) {
    return comment.find_first_not_of(u" \u3000") == TextView::npos;
}

CommentPost::CommentPost(Services services) : services_(std::move(services)) {}

bool CommentPost::Command1_Click(const Text& commentText) {
    if (isBlankComment(commentText)) {
        services_.messageBoxes.show(comment_text::kEmptyMessage, comment_text::kEmptyTitle,
                                    MessageButtons::Ok);
        return false;
    }
    PostComment(commentText);
    services_.messageBoxes.show(comment_text::kThanksMessage, comment_text::kThanksTitle,
                                MessageButtons::Ok);
    return true;
}

void CommentPost::PostComment(const Text& commentText) {
    if (!CreateHttpClient(HttpClient, services_.registry))
        return;
    IgnoreErrors errors;
    Text body;
    errors.run([&] { HttpClient->Open("POST", services_.baseAddress + kCommentPath, false); });
    errors.run([&] { body = u"CommentText=" + URLEncoding(commentText); });
    // The body travels as UTF-8: count its bytes, not its characters.
    errors.run([&] {
        HttpClient->setRequestHeader("Content-Length", std::to_string(toUtf8(body).size()));
    });
    errors.run(
        [&] { HttpClient->setRequestHeader("CONTENT-TYPE", "application/x-www-form-urlencoded"); });
    errors.run([&] { HttpClient->send(body); });
    if (errors.error())
        return;
    if (errors.test([&] { return HttpClient->readyState() == 4; }))
        OnReadyV();
}

void CommentPost::OnReadyV() {
    IgnoreErrors errors;
    if (errors.test([&] { return HttpClient->readyState() == 4; }))
        errors.run([&] { HttpClient->abort(); });
}

} // namespace pelvoran
