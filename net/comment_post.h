#pragma once

#include "net/services.h"

#include <memory>
#include <optional>
#include <string>

namespace pelvoran {

namespace comment_text {
inline constexpr char16_t kEmptyMessage[] = u"请您填写留言内容。谢谢。";
inline constexpr char16_t kEmptyTitle[] = u"提示";
inline constexpr char16_t kThanksMessage[] = u"感谢您的宝贵建议!谢谢!";
inline constexpr char16_t kThanksTitle[] = u"感谢";
/// The thanks box's line for a comment the server numbered, around N.
inline constexpr char16_t kNumberBefore[] = u"留言编号：";
inline constexpr char16_t kNumberAfter[] = u"。发布者如有回复，会在以后启动本程序时显示。";
inline constexpr char16_t kFailedMessage[] = u"留言未能发送，请检查网络连接后重试。";
inline constexpr char16_t kFailedTitle[] = u"发送失败";
} // namespace comment_text

/// The comment window's send button: refuses a blank comment, posts the
/// comment to the server form-encoded, and thanks the user when it arrived or
/// says that it did not.
class CommentPost {
public:
    explicit CommentPost(Services services);

    /// Returns true when the comment window is to be unloaded: the comment
    /// was delivered and the thanks shown. False keeps the window open with
    /// its text: a blank comment (the notice), or a comment that did not
    /// arrive (the failure box).
    bool Command1_Click(const Text& commentText);

    /// Posts "CommentText=" and the encoded comment. No error leaves it.
    /// Returns whether the comment was delivered: the exchange completed with
    /// a status from 200 to 399.
    bool PostComment(const Text& commentText);

    /// Resets the completed request.
    void OnReadyV();

    /// A comment window loaded afresh: its first send draws a new secret.
    /// Sends from the same window (after a failure) reuse theirs.
    void newComment() { secret_.reset(); }

    /// The comment window's request object, made anew for every post.
    std::unique_ptr<HttpRequest> HttpClient;

private:
    /// After a delivered post: keeps the record when the server numbered the
    /// comment; the number, or empty when nothing was kept.
    std::string keepNumbered(const Text& commentText);

    Services services_;
    /// The comment window's secret (its bytes), drawn at its first send.
    std::optional<std::string> secret_;
    /// The number of the comment just delivered, when it was kept.
    std::string number_;
};

/// True when the comment holds nothing but blanks (ASCII or ideographic).
bool isBlankComment(TextView comment);

} // namespace pelvoran
