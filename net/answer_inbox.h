#pragma once

#include "net/answer_keys.h"
#include "net/services.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace pelvoran {

/// One fetch of the answers to `records`: a POST of their secrets to the
/// server. The answers of a 200 reply that reads whole (readAnswersReply);
/// with a public key, only those it signed. Nullopt when the exchange failed
/// or the reply was malformed: then the records stay as they are. No error
/// leaves it.
std::optional<std::vector<FetchedAnswer>> fetchAnswers(const Services& services,
                                                       const std::vector<PendingAnswer>& records);

/// Tells the server that `answer` was shown. True for a completed exchange
/// with a status from 200 to 299. No error leaves it.
bool confirmAnswer(const Services& services, const FetchedAnswer& answer);

/// The answers to the user's comments: fetched once at start-up when comments
/// wait for one, each confirmed once shown. The exchanges run on threads of
/// their own, never on the user-interface thread; what they find comes back
/// through `toUi`, which runs a function on the user-interface thread.
class AnswerInbox {
public:
    using ToUi = std::function<void(std::function<void()>)>;

    AnswerInbox(Services services, ToUi toUi);
    AnswerInbox(const AnswerInbox&) = delete;
    AnswerInbox& operator=(const AnswerInbox&) = delete;

    /// Starts the fetch when records are pending; `arrived` then gets the
    /// answers to show, in order, on the user-interface thread (not when
    /// there are none). False, and nothing sent, when none is pending or the
    /// tool keeps no keys.
    bool start(std::function<void(std::vector<FetchedAnswer>)> arrived);

    /// Confirms an answer that was shown; its record goes once the server had
    /// the confirm. A failed confirm keeps it, so that it shows again.
    void confirm(const FetchedAnswer& answer);

    /// True while an exchange is under way: the process may then end at once
    /// rather than wait for it (nothing is written before it completes).
    bool busy() const { return state_->running.load() > 0; }

private:
    struct State {
        std::atomic<int> running{0};
    };

    /// Runs `job` on a thread of its own, counted as running until it ends.
    void runOff(std::function<void()> job);

    Services services_;
    ToUi toUi_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace pelvoran
