#include "server/notify/notifier.h"

#include "server/notify/notify_texts.h"
#include "server/support/counters.h"
#include "server/support/log.h"
#include "server/support/state_files.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <sys/resource.h>
#include <unistd.h>

namespace pelvoran::server {
namespace {

/// Sending gives way to answering: when the machine is busy, the comment
/// path gets the processor first.
void yieldToAnswers() {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

} // namespace

Notifier::Notifier(const std::string& databasePath, Settings settings, const Clock& clock)
    : settings_(std::move(settings)), clock_(clock), db_(std::make_unique<Database>(databasePath)),
      thread_([this](Worker& self) { run(self); }) {}

Notifier::~Notifier() {
    // What the thread still does on the database, the results under way
    // written included, ends by then whatever the database does.
    db_->setDeadline(std::chrono::steady_clock::now() + storeDeadline(kBusyTimeout));
    thread_.stop();
    abandon_ = true;
}

void Notifier::wake() {
    thread_.wake();
}

std::vector<OutboxStore::TryResult> Notifier::send(const Batch& batch) {
    std::vector<OutboxStore::TryResult> results;
    for (const OutboxEntry& e : batch) {
        if (abandon_)
            break; // what is not recorded is sent again after a restart
        const Recipient& r = e.recipient;
        const Delivery to{r.kind, r.address, r.smtp, r.user, r.secret, r.caFile};
        OutboxStore::TryResult t;
        t.comment = e.comment.id;
        t.recipient = r.id;
        t.error =
            notify(to, e.comment, settings_.adminBase, settings_.retries.sendTimeout(), &abandon_);
        if (t.error && abandon_)
            break; // cut short by the end, not the recipient's fault
        if (t.error) {
            if (settings_.metrics != nullptr)
                settings_.metrics->notificationFailed();
            const MillisTime now = clock_.now();
            t.retryAt = now + settings_.retries.delayAfter(e.attempts + 1);
            t.giveUp = settings_.retries.givesUp(now - e.queued);
            if (t.giveUp)
                logError(notify_text::givenUp(e.comment.id, logName(r), *t.error));
        }
        const bool failed = t.error.has_value();
        results.push_back(std::move(t));
        // Its delay holds all of the recipient's notifications back.
        if (failed)
            break;
    }
    return results;
}

void Notifier::sender(Worker& self, Worker& handing) {
    yieldToAnswers();
    for (;;) {
        std::optional<Batch> batch;
        {
            const std::lock_guard lock(mutex_);
            if (!batches_.empty()) {
                batch = std::move(batches_.front());
                batches_.pop_front();
            }
        }
        if (!batch) {
            // A batch's wake-up ends the wait; the limit only bounds it.
            if (!self.wait(std::chrono::seconds(10)))
                return;
            continue;
        }
        Sent sent{batch->front().recipient, send(*batch)};
        {
            const std::lock_guard lock(mutex_);
            sent_.push_back(std::move(sent));
        }
        handing.wake();
    }
}

std::optional<MillisTime> Notifier::handOut() {
    for (;;) {
        std::vector<std::int64_t> skipped;
        {
            const std::lock_guard lock(mutex_);
            if (busy_.size() >= settings_.senders)
                return std::nullopt; // a sender's end wakes the handing out
            skipped.assign(busy_.begin(), busy_.end());
        }
        const MillisTime now = clock_.now();
        const auto due =
            db_->outbox().claim(now, settings_.roundSize, skipped, now + settings_.claim);
        if (due.empty())
            return db_->outbox().nextDue(skipped); // later, or for a recipient under way
        // Each recipient's in the outbox's order, the recipients in the order
        // of their oldest.
        std::vector<Batch> batches;
        std::map<std::int64_t, std::size_t> at;
        for (const OutboxEntry& e : due) {
            const auto [it, added] = at.emplace(e.recipient.id, batches.size());
            if (added)
                batches.emplace_back();
            batches[it->second].push_back(e);
        }
        std::vector<OutboxEntry> waiting; // for a sender: handed back
        {
            const std::lock_guard lock(mutex_);
            for (Batch& b : batches) {
                if (busy_.size() >= settings_.senders) {
                    waiting.insert(waiting.end(), b.begin(), b.end());
                    continue;
                }
                busy_.insert(b.front().recipient.id);
                batches_.push_back(std::move(b));
            }
        }
        db_->outbox().unclaim(waiting, now);
        // Each look hands out one recipient at least: the senders fill up,
        // or a look finds nothing due but for those under way.
        for (const auto& s : senders_)
            s->wake();
    }
}

void Notifier::record(const std::vector<Sent>& sent) {
    std::vector<OutboxStore::TryResult> results;
    std::map<std::int64_t, const Sent*> byRecipient;
    for (const Sent& s : sent) {
        results.insert(results.end(), s.results.begin(), s.results.end());
        byRecipient[s.recipient.id] = &s;
    }
    const auto now = std::chrono::floor<std::chrono::seconds>(clock_.now());
    for (const OutboxStore::Streak& streak : db_->outbox().recordTries(results, now)) {
        const Sent& s = *byRecipient.at(streak.recipient);
        const std::string name = logName(s.recipient);
        if (!streak.ended) {
            const auto failed = std::find_if(s.results.begin(), s.results.end(),
                                             [](const auto& t) { return t.error.has_value(); });
            logError(notify_text::recipientFailing(
                name, failed == s.results.end() ? std::string() : *failed->error));
        } else {
            logError(notify_text::recipientRecovered(name, streakText(streak, now)));
        }
    }
}

void Notifier::run(Worker& self) {
    yieldToAnswers();
    for (std::size_t i = 0; i < settings_.senders; ++i)
        senders_.push_back(
            std::make_unique<Worker>([this, &self](Worker& own) { sender(own, self); }));
    while (!self.stopping()) {
        std::vector<Sent> sent;
        {
            const std::lock_guard lock(mutex_);
            sent.swap(sent_);
        }
        auto wait = std::chrono::milliseconds(1000);
        bool recorded = true;
        try {
            if (!sent.empty())
                record(sent);
        } catch (const std::exception& e) {
            // Not written: those delivered are sent again, at least once;
            // after a second, so that a recipient that failed is not tried
            // again at once.
            logError(notify_text::resultsNotRecorded(e.what()));
            recorded = false;
        }
        {
            const std::lock_guard lock(mutex_);
            for (const Sent& s : sent)
                busy_.erase(s.recipient.id);
        }
        try {
            if (const auto next = recorded ? handOut() : std::nullopt)
                wait = std::clamp(*next - clock_.now(), std::chrono::milliseconds(0), wait);
        } catch (const std::exception& e) {
            logError(notify_text::notSent(e.what()));
        }
        self.wait(wait);
    }
    // The sends under way end soon (abandon_); what they delivered is
    // written, so that it is not sent again after the restart.
    {
        const std::lock_guard lock(mutex_);
        batches_.clear();
    }
    senders_.clear(); // each stopped and waited for
    try {
        record(sent_);
    } catch (const std::exception& e) {
        logError(notify_text::resultsNotRecorded(e.what()));
    }
}

} // namespace pelvoran::server
