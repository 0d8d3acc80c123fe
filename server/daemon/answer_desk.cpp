#include "server/daemon/answer_desk.h"

#include "server/daemon/daemon_texts.h"
#include "server/pages/public_site.h"
#include "server/release/release_signing.h"
#include "server/store/store.h"
#include "server/support/counters.h"

#include "platform/openssl_support.h"

#include <optional>
#include <utility>
#include <vector>

namespace pelvoran::server {
namespace {

/// The lines of a body of 1 to kMostSecrets lines, LF-separated, a last LF
/// allowed; nullopt for anything else.
std::optional<std::vector<std::string_view>> linesOf(std::string_view body) {
    if (body.empty() || body.size() > kMostAnswerBody)
        return std::nullopt;
    if (body.back() == '\n')
        body.remove_suffix(1);
    std::vector<std::string_view> lines;
    for (;;) {
        const auto end = body.find('\n');
        lines.push_back(body.substr(0, end));
        if (lines.size() > kMostSecrets)
            return std::nullopt;
        if (end == std::string_view::npos)
            return lines;
        body.remove_prefix(end + 1);
    }
}

WebResponse plain(unsigned status, std::string body) {
    WebResponse r{status, "text/plain; charset=utf-8", std::move(body), {}};
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

WebResponse badRequest() {
    return plain(400, daemon_text::kBadAnswerRequest);
}

} // namespace

AnswerDesk::AnswerDesk(std::string database, std::string privatePem, Metrics* metrics)
    : location_(std::move(database)), privatePem_(std::move(privatePem)), metrics_(metrics),
      worker_([this](Worker& self) { run(self); }) {}

AnswerDesk::~AnswerDesk() {
    close(); // the worker then ends with nothing left to answer
}

void AnswerDesk::close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

std::optional<WebResponse> AnswerDesk::fetch(std::string_view body, Later& later) {
    const auto lines = linesOf(body);
    if (!lines)
        return badRequest();
    Job job;
    for (const std::string_view line : *lines) {
        auto key = replyKeyOfSecret(line);
        if (!key)
            return badRequest();
        job.keys.push_back(std::move(*key));
    }
    job.later = std::move(later);
    return take(std::move(job));
}

std::optional<WebResponse> AnswerDesk::seen(std::string_view body, Later& later) {
    const auto lines = linesOf(body);
    if (!lines)
        return badRequest();
    Job job;
    job.hashes.emplace();
    for (const std::string_view line : *lines) {
        const auto tab = line.find('\t');
        auto key = replyKeyOfSecret(line.substr(0, tab));
        if (tab == std::string_view::npos || !key || !isReplyKey(line.substr(tab + 1)))
            return badRequest();
        job.keys.push_back(std::move(*key));
        job.hashes->emplace_back(line.substr(tab + 1));
    }
    job.later = std::move(later);
    return take(std::move(job));
}

std::optional<WebResponse> AnswerDesk::read(std::string key, std::string root, Later& later) {
    Job job;
    job.keys.push_back(std::move(key));
    job.pageRoot = std::move(root);
    job.later = std::move(later);
    return take(std::move(job));
}

std::optional<WebResponse> AnswerDesk::take(Job job) {
    {
        const std::lock_guard lock(mutex_);
        if (closed_ || queue_.size() >= kMostWaiting)
            return job.pageRoot
                       ? publicErrorPage(503, "GET, HEAD", *job.pageRoot)
                       : plain(503, daemon_text::answersUnavailable(daemon_text::kAnswersBusy));
        queue_.push_back(std::move(job));
    }
    worker_.wake();
    return std::nullopt;
}

WebResponse AnswerDesk::answer(const Job& job) {
    try {
        if (!db_)
            db_ = std::make_unique<Database>(location_);
        if (job.pageRoot) {
            const auto found =
                db_->answers().conversation(job.keys.front(), secondsNow() - kAnswerKept);
            return replyPage(*job.pageRoot,
                             found ? std::optional(ConversationView{toUtf8(found->comment),
                                                                    toUtf8(found->answer)})
                                   : std::nullopt);
        }
        if (job.hashes) {
            for (std::size_t i = 0; i < job.keys.size(); ++i)
                if (db_->answers().markDelivered(job.keys[i], (*job.hashes)[i], secondsNow()) &&
                    metrics_)
                    metrics_->answerDelivered();
            return plain(204, "");
        }
        std::string reply;
        for (const FoundAnswer& a : db_->answers().forKeys(job.keys, secondsNow() - kAnswerKept)) {
            const std::string text = toUtf8(a.text);
            reply += std::to_string(a.number) + '\t' + a.key + '\t' +
                     signMessage(privatePem_, answerMessage(a.number, a.key, text)) + '\t' +
                     openssl::base64Url(text) + '\n';
        }
        if (metrics_)
            metrics_->answerFetch();
        return plain(200, std::move(reply));
    } catch (const StoreError& e) {
        db_.reset(); // opened again for the next request
        if (job.pageRoot)
            return publicErrorPage(503, "GET, HEAD", *job.pageRoot);
        return plain(503, daemon_text::answersUnavailable(e.said()));
    }
}

void AnswerDesk::run(Worker& self) {
    for (;;) {
        std::optional<Job> job;
        {
            std::unique_lock lock(mutex_);
            if (queue_.empty()) {
                busy_ = false;
                idle_.notify_all();
                if (self.stopping())
                    return;
                lock.unlock();
                // A request's wake-up ends the wait; the limit only bounds it.
                self.wait(std::chrono::seconds(10));
                continue;
            }
            busy_ = true;
            job.emplace(std::move(queue_.front()));
            queue_.pop_front();
        }
        job->later(answer(*job));
    }
}

} // namespace pelvoran::server
