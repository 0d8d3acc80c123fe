#include "net/comment_post.h"

#include "net/answer_keys.h"
#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "net/ignore_errors.h"
#include "net/wire.h"
#include "platform/reply_secret.h"

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
    Text thanks = comment_text::kThanksMessage;
    if (!number_.empty())
        thanks +=
            kLineBreak + (comment_text::kNumberBefore + u16(number_)) + comment_text::kNumberAfter;
    services_.messageBoxes.show(thanks, comment_text::kThanksTitle, MessageButtons::Ok);
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
    number_.clear();
    if (services_.answerKeys != nullptr) {
        if (!secret_)
            secret_ = drawSecret();
        if (secret_)
            errors.run([&] {
                HttpClient->setRequestHeader(wire::kReplyKeyHeader.ascii(), replyKeyHash(*secret_));
            });
    }
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
        if (delivered)
            number_ = keepNumbered(commentText);
        OnReadyV();
    }
    return delivered;
}

std::string CommentPost::keepNumbered(const Text& commentText) {
    if (services_.answerKeys == nullptr || !secret_)
        return {};
    IgnoreErrors errors;
    if (!errors.test([&] { return HttpClient->Status() == 200; }))
        return {};
    std::optional<std::string> number;
    errors.run([&] { number = HttpClient->getResponseHeader(wire::kCommentNumberHeader.ascii()); });
    if (!number || !commentNumberValid(*number))
        return {};
    const LocalDateTime now = services_.clock();
    const PendingAnswer record{encodeBase64Url(*secret_), replyKeyHash(*secret_), *number,
                               dayOf(now), commentText};
    if (!addPendingAnswer(*services_.answerKeys, record, now))
        return {};
    secret_.reset(); // kept: the next comment gets a secret of its own
    return *number;
}

void CommentPost::OnReadyV() {
    IgnoreErrors errors;
    if (errors.test([&] { return HttpClient->readyState() == 4; }))
        errors.run([&] { HttpClient->abort(); });
}

} // namespace pelvoran
