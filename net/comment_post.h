#pragma once

#include "net/services.h"

#include <memory>

namespace pelvoran {

namespace comment_text {
inline constexpr char16_t kEmptyMessage[] = u"请您填写留言内容。谢谢。";
inline constexpr char16_t kEmptyTitle[] = u"提示";
inline constexpr char16_t kThanksMessage[] = u"感谢您的宝贵建议!谢谢!";
inline constexpr char16_t kThanksTitle[] = u"感谢";
} // namespace comment_text

inline constexpr char16_t kCommentPath[] = u"/Canon/comment.asp";

/// The comment window's send button: refuses a blank comment, posts the
/// comment to the server form-encoded and thanks the user. The server's
/// answer is not evaluated.
class CommentPost {
public:
    explicit CommentPost(Services services);

    /// Returns true when the comment window is to be unloaded (after the
    /// thanks), false when it stays open (blank comment).
    bool Command1_Click(const Text& commentText);

    /// Posts "CommentText=" and the encoded comment. No error leaves it.
    void PostComment(const Text& commentText);

    /// Resets the completed request.
    void OnReadyV();

    /// The comment window's request object, made anew for every post.
    std::unique_ptr<HttpRequest> HttpClient;

private:
    Services services_;
};

/// True when the comment holds nothing but blanks (ASCII or ideographic).
bool isBlankComment(TextView comment);

} // namespace pelvoran
