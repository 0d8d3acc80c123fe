#include "server/store/comment_writer.h"
#include "server/support/state_files.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace pelvoran::server {

CommentWriter::CommentWriter(const std::string& databasePath, std::chrono::milliseconds busyTimeout,
                             std::function<void()> committed, const Clock& clock)
    : db_(databasePath, busyTimeout), committed_(std::move(committed)), clock_(clock),
      worker_([this](Worker& self) { run(self); }) {}

CommentWriter::~CommentWriter() {
    close(); // the worker then ends with nothing left to commit
}

bool CommentWriter::submit(NewComment comment, Done done) {
    {
        const std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        queue_.push_back({std::move(comment), std::move(done)});
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

std::vector<CommentWriter::Item> CommentWriter::storedBefore(std::vector<Item>& batch) {
    const auto now = clock_.now();
    while (!uncertain_.empty() && now - uncertain_.front().failed > kUncertainKept)
        uncertain_.pop_front();
    std::vector<Item> already;
    if (uncertain_.empty())
        return already;
    std::vector<Item> rest;
    for (Item& item : batch) {
        const auto match = std::find_if(uncertain_.begin(), uncertain_.end(), [&](const auto& u) {
            return u.client == item.comment.client && u.raw == item.comment.raw;
        });
        bool stored = false;
        if (match != uncertain_.end()) {
            try {
                stored = db_.comments().storedSince(match->raw, match->received);
            } catch (const StoreError&) {
                // Not known: stored again rather than lost.
            }
            uncertain_.erase(match);
        }
        (stored ? already : rest).push_back(std::move(item));
    }
    batch = std::move(rest);
    return already;
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
        const std::vector<Item> already = storedBefore(batch);
        std::vector<NewComment> comments;
        comments.reserve(batch.size());
        for (auto& item : batch)
            comments.push_back(std::move(item.comment));
        std::optional<std::string> failure;
        try {
            if (!comments.empty())
                db_.comments().insert(comments);
        } catch (const UncertainCommit& e) {
            failure = e.what();
            const auto now = clock_.now();
            for (const NewComment& c : comments)
                uncertain_.push_back({c.client, c.raw, c.received, now});
            while (uncertain_.size() > kUncertainMost)
                uncertain_.pop_front();
        } catch (const StoreError& e) {
            failure = e.what();
        }
        for (const Item& item : already)
            item.done(true);
        const bool stored = !failure;
        {
            const std::lock_guard lock(mutex_);
            ++commits_;
            if (failure) {
                ++failures_.transactions;
                failures_.comments += comments.size();
                failures_.lastReason = *failure;
            }
            lastFailure_ = std::move(failure);
        }
        if (stored && committed_)
            committed_();
        for (auto& item : batch)
            item.done(stored);
    }
}

} // namespace pelvoran::server
