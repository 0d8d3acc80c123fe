#include "server/store/comment_writer.h"
#include "server/store/store_texts.h"
#include "server/support/state_files.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace pelvoran::server {
CommentWriter::CommentWriter(const std::string& databasePath, std::chrono::milliseconds busyTimeout,
                             std::function<void()> committed, const Clock& clock)
    : db_(databasePath, busyTimeout), deadline_(storeDeadline(busyTimeout)),
      committed_(std::move(committed)), clock_(clock),
      worker_([this](Worker& self) { run(self); }) {}

CommentWriter::~CommentWriter() {
    close(); // the worker then ends with nothing left to commit
}

bool CommentWriter::submit(NewComment comment, Done done) {
    {
        const std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        queue_.push_back({std::move(comment), std::move(done), std::chrono::steady_clock::now()});
    }
    worker_.wake();
    return true;
}

void CommentWriter::close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

std::size_t CommentWriter::commits() const {
    const std::lock_guard lock(mutex_);
    return commits_;
}

std::size_t CommentWriter::waiting() const {
    const std::lock_guard lock(mutex_);
    return queue_.size();
}

CommentWriter::Failures CommentWriter::takeFailures() {
    const std::lock_guard lock(mutex_);
    return std::exchange(failures_, {});
}

std::optional<std::string> CommentWriter::lastFailure() const {
    const std::lock_guard lock(mutex_);
    return lastFailure_;
}

CommentWriter::Before CommentWriter::storedBefore(std::vector<Item>& batch) {
    const auto now = clock_.now();
    while (!uncertain_.empty() && now - uncertain_.front().failed > kUncertainKept)
        uncertain_.pop_front();
    Before before;
    if (uncertain_.empty())
        return before;
    std::vector<Item> rest;
    for (Item& item : batch) {
        const auto match = std::find_if(uncertain_.begin(), uncertain_.end(), [&](const auto& u) {
            return u.client == item.comment.client && u.raw == item.comment.raw &&
                   u.replyKey == item.comment.replyKey;
        });
        if (match == uncertain_.end()) {
            rest.push_back(std::move(item));
            continue;
        }
        try {
            // A commit given up without an answer may still end either way
            // while its server process lives: asked again at the next try.
            if (match->session != 0 && db_.sessionAlive(match->session))
                throw StoreError(store_text::kPreviousCommitRunning,
                                 store_text::kPreviousCommitUnknown);
            const auto stored =
                db_.comments().storedSince(match->raw, match->replyKey, match->received);
            uncertain_.erase(match);
            if (stored)
                before.stored.emplace_back(std::move(item), *stored);
            else
                rest.push_back(std::move(item));
        } catch (const StoreError& e) {
            // Not known: answered as not stored, and not stored again,
            // lest it be there twice; the next try asks again.
            before.unknown.push_back(std::move(item));
            before.why = e.what();
            before.said = e.said();
        }
    }
    batch = std::move(rest);
    return before;
}

std::vector<CommentWriter::Item>
CommentWriter::tooLate(std::vector<Item>& batch, std::chrono::steady_clock::time_point now) const {
    std::vector<Item> late;
    if (!db_.takesDeadlines())
        return late; // SQLite's transaction takes no deadline: nothing to keep within
    // Taken in the order they arrived: the late ones come first.
    const auto first = std::find_if(batch.begin(), batch.end(), [&](const Item& item) {
        return now - item.arrived < deadline_ + kQueueGrace;
    });
    late.assign(std::make_move_iterator(batch.begin()), std::make_move_iterator(first));
    batch.erase(batch.begin(), first);
    return late;
}

void CommentWriter::run(Worker& self) {
    for (;;) {
        std::vector<Item> batch;
        {
            std::unique_lock lock(mutex_);
            if (queue_.empty()) {
                busy_ = false;
                idle_.notify_all();
                if (self.stopping())
                    return; // nothing left
                lock.unlock();
                // A comment's wake-up ends the wait; the limit only bounds it.
                self.wait(std::chrono::seconds(10));
                continue;
            }
            busy_ = true;
            while (!queue_.empty() && batch.size() < kMaxBatch) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        const auto began = std::chrono::steady_clock::now();
        // Sent now, they would be answered after the tool has given up.
        const std::vector<Item> late = tooLate(batch, began);
        for (const Item& item : late)
            item.done(false, 0);
        Before before;
        std::vector<NewComment> comments;
        std::vector<std::int64_t> numbers;  // the kept reply keys' comments
        std::optional<std::string> failure; // why, for the log
        std::optional<std::string> said;    // why, for /healthz
        if (!batch.empty()) {
            db_.setDeadline(
                std::min(began + deadline_, batch.front().arrived + deadline_ + kQueueGrace));
            before = storedBefore(batch);
            comments.reserve(batch.size());
            for (auto& item : batch)
                comments.push_back(std::move(item.comment));
            try {
                if (!comments.empty())
                    numbers = db_.comments().insert(comments);
            } catch (const UncertainCommit& e) {
                failure = e.what();
                said = e.said();
                const auto now = clock_.now();
                for (const NewComment& c : comments)
                    uncertain_.push_back(
                        {c.client, c.raw, c.replyKey, c.received, now, e.session()});
                while (uncertain_.size() > kUncertainMost)
                    uncertain_.pop_front();
            } catch (const StoreError& e) {
                failure = e.what();
                said = e.said();
            }
            db_.setDeadline(std::nullopt);
        }
        for (const auto& [item, number] : before.stored)
            item.done(true, number);
        const bool stored = !failure;
        {
            const std::lock_guard lock(mutex_);
            ++commits_;
            if (failure) {
                ++failures_.transactions;
                failures_.comments += comments.size();
                failures_.lastReason = *failure;
            } else if (comments.empty() && !before.unknown.empty()) {
                failures_.lastReason = store_text::uncertainCommitUnknown(before.why);
                said = before.said;
            } else if (comments.empty() && !late.empty()) {
                failures_.lastReason = store_text::kLate;
                said = store_text::kLate;
            }
            failures_.comments += late.size() + before.unknown.size();
            lastFailure_ = std::move(said);
        }
        if (stored && committed_ && !comments.empty())
            committed_();
        for (auto& item : before.unknown)
            item.done(false, 0);
        for (std::size_t i = 0; i < batch.size(); ++i)
            batch[i].done(stored, stored && i < numbers.size() ? numbers[i] : 0);
    }
}

} // namespace pelvoran::server
