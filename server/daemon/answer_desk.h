#pragma once

#include "server/http/web.h"
#include "server/support/worker.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

class Database;
class Metrics;

/// The most secrets a fetch or a confirmation names.
inline constexpr std::size_t kMostSecrets = 20;
/// The largest body of a fetch or a confirmation.
inline constexpr std::size_t kMostAnswerBody = 2048;

/// The tools' fetch of the publisher's answers (POST /answers) and their
/// confirmation that one was shown (POST /answers/seen). A body is read on
/// the listener's thread; the database is asked on a thread of its own, on a
/// connection of its own, so that no listener's thread waits on it. An
/// unknown, expired, held or unanswered secret adds nothing to the reply: a
/// reply names only what its secrets may read.
class AnswerDesk {
public:
    using Later = std::function<void(WebResponse)>;

    /// `database` as serve opens it; `privatePem` the answer key; the
    /// fetches answered and the answers confirmed are counted in `metrics`,
    /// when given.
    AnswerDesk(std::string database, std::string privatePem, Metrics* metrics = nullptr);
    ~AnswerDesk();
    AnswerDesk(const AnswerDesk&) = delete;
    AnswerDesk& operator=(const AnswerDesk&) = delete;

    /// The answer at once (a malformed body, or the desk closed or full),
    /// or nullopt when it comes through `later`, from the desk's thread.
    std::optional<WebResponse> fetch(std::string_view body, Later& later);
    std::optional<WebResponse> seen(std::string_view body, Later& later);
    /// The reply page of the lookup page at `root` for the comment of
    /// `key` (a web comment's code's reply key): its answer, or the one
    /// sentence every other code gets. Marks nothing delivered.
    std::optional<WebResponse> read(std::string key, std::string root, Later& later);

    /// Takes no more requests and returns once every one taken is answered.
    void close();

private:
    /// A request read: the reply keys of its secrets, and for a
    /// confirmation the hash of each text shown; for a reply code's page,
    /// the lookup page's root.
    struct Job {
        std::vector<std::string> keys;
        std::optional<std::vector<std::string>> hashes;
        std::optional<std::string> pageRoot;
        Later later;
    };
    /// Requests waiting at most; more are answered 503 at once.
    static constexpr std::size_t kMostWaiting = 256;

    std::optional<WebResponse> take(Job job);
    WebResponse answer(const Job& job);
    void run(Worker& self);

    const std::string location_;
    const std::string privatePem_;
    Metrics* const metrics_;
    std::unique_ptr<Database> db_; // the desk's thread's alone
    std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<Job> queue_;
    bool busy_ = false;
    bool closed_ = false;
    Worker worker_; // last: starts once the rest is ready
};

} // namespace pelvoran::server
