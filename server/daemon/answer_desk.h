#pragma once

#include "server/http/web.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace pelvoran::server {

class Database;

/// How long a comment's writer may fetch its answer.
inline constexpr std::chrono::days kAnswerKept{180};
/// The most secrets a fetch or a confirmation names.
inline constexpr std::size_t kMostSecrets = 20;
/// The largest body of a fetch or a confirmation.
inline constexpr std::size_t kMostAnswerBody = 2048;

/// The tools' fetch of the publisher's answers (POST /answers) and their
/// confirmation that one was shown (POST /answers/seen), on a database
/// connection of its own. An unknown, expired, held or unanswered secret
/// adds nothing to the reply: a reply names only what its secrets may read.
class AnswerDesk {
public:
    /// `database` as serve opens it; `privatePem` the answer key.
    AnswerDesk(std::string database, std::string privatePem);
    ~AnswerDesk();
    AnswerDesk(const AnswerDesk&) = delete;
    AnswerDesk& operator=(const AnswerDesk&) = delete;

    WebResponse fetch(std::string_view body);
    WebResponse seen(std::string_view body);

private:
    /// The database, opened when first needed and again after a failure.
    Database& database();

    const std::string location_;
    const std::string privatePem_;
    std::mutex mutex_;
    std::unique_ptr<Database> db_;
};

} // namespace pelvoran::server
