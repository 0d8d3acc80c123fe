#include "net/comment_post.h"

#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "net/ignore_errors.h"
#include "net/wire.h"

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
    if (!PostComment(commentText)) {
        services_.messageBoxes.show(comment_text::kFailedMessage, comment_text::kFailedTitle,
                                    MessageButtons::Ok);
        return false;
    }
    services_.messageBoxes.show(comment_text::kThanksMessage, comment_text::kThanksTitle,
                                MessageButtons::Ok);
    return true;
}

bool CommentPost::PostComment(const Text& commentText) {
    if (!CreateHttpClient(HttpClient, services_.registry))
        return false;
    IgnoreErrors errors;
    Text body;
    errors.run([&] {
        HttpClient->Open("POST", services_.baseAddress + Text(wire::kCommentPath.text()), false);
    });
    errors.run([&] { body = Text(wire::kCommentField.text()) + URLEncoding(commentText); });
    // The body is ASCII; counting its bytes as they travel stays right anyway.
    errors.run([&] {
        HttpClient->setRequestHeader("Content-Length", std::to_string(toUtf8(body).size()));
    });
    errors.run(
        [&] { HttpClient->setRequestHeader("CONTENT-TYPE", "application/x-www-form-urlencoded"); });
    errors.run([&] { HttpClient->send(body); });
    if (errors.error())
        return false;
    bool delivered = false;
    if (errors.test([&] { return HttpClient->readyState() == 4; })) {
        // A redirect is an answer too: the server had the post.
        delivered = errors.test([&] {
            const int status = HttpClient->Status();
            return status >= 200 && status <= 399;
        });
        OnReadyV();
    }
    return delivered;
}

void CommentPost::OnReadyV() {
    IgnoreErrors errors;
    if (errors.test([&] { return HttpClient->readyState() == 4; }))
        errors.run([&] { HttpClient->abort(); });
}

} // namespace pelvoran
