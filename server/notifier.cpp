#include "server/notifier.h"

#include "server/log.h"
#include "server/store.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

namespace pelvoran::server {

Notifier::Notifier(const std::string& databasePath, Settings settings)
    : settings_(std::move(settings)), db_(std::make_unique<Database>(databasePath)),
      thread_([this] { run(); }) {}

Notifier::~Notifier() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    abandon_ = true;
    wake_.notify_one();
    thread_.join();
}

void Notifier::wake() {
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

bool Notifier::round() {
    const auto due = db_->dueNotifications(unixMillisNow(), settings_.roundSize);
    std::vector<Database::TryResult> results;
    for (const OutboxEntry& e : due) {
        if (abandon_)
            break; // what is not recorded is sent again after a restart
        // A recipient that failed earlier in this round is not tried again
        // in it: its delay holds all of its notifications back.
        if (std::any_of(results.begin(), results.end(), [&](const Database::TryResult& t) {
                return t.recipient == e.recipient.id && t.error;
            }))
            continue;
        const Recipient& r = e.recipient;
        const Delivery to{r.kind, r.address, r.smtp, r.user, r.secret, r.caFile};
        Database::TryResult t;
        t.comment = e.comment.id;
        t.recipient = r.id;
        t.error =
            notify(to, e.comment, settings_.adminBase, settings_.retries.sendTimeout(), &abandon_);
        if (t.error && abandon_)
            break; // cut short by the end, not the recipient's fault
        if (t.error) {
            const std::int64_t now = unixMillisNow();
            t.retryAt = now + settings_.retries.delayAfter(e.attempts + 1).count();
            t.giveUp = settings_.retries.givesUp(std::chrono::milliseconds(now - e.queued));
            if (t.giveUp)
                logError("第 " + std::to_string(e.comment.id) + " 条留言的通知（接收方 #" +
                         std::to_string(r.id) + "）一天多仍未送达，已放弃：" + *t.error);
        }
        results.push_back(std::move(t));
    }
    db_->recordTries(results, std::time(nullptr));
    return static_cast<std::int64_t>(due.size()) == settings_.roundSize;
}

void Notifier::run() {
    // Sending gives way to answering: when the machine is busy, the
    // comment path gets the processor first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        woken_ = false;
        lock.unlock();
        bool more = false;
        auto wait = std::chrono::milliseconds(1000);
        try {
            more = round();
            if (const auto next = db_->nextDue())
                wait = std::clamp(std::chrono::milliseconds(*next - unixMillisNow()),
                                  std::chrono::milliseconds(0), wait);
        } catch (const std::exception& e) {
            logError(std::string("通知未能发送：") + e.what());
        }
        lock.lock();
        if (!more)
            wake_.wait_for(lock, wait, [this] { return stopping_ || woken_; });
    }
}

} // namespace pelvoran::server
