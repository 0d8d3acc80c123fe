#include "net/answer_inbox.h"

#include "net/http_acquisition.h"
#include "net/ignore_errors.h"
#include "net/wire.h"

#include <thread>

namespace pelvoran {

namespace {

/// POSTs `body` (text/plain, UTF-8) to `path`; the request, completed, or
/// nullptr when the exchange failed.
std::unique_ptr<HttpRequest> post(const Services& services, std::u16string_view path,
                                  const std::string& body) {
    std::unique_ptr<HttpRequest> request;
    if (!CreateHttpClient(request, services.registry))
        return nullptr;
    IgnoreErrors errors;
    errors.run([&] { request->Open("POST", services.baseAddress + Text(path), false); });
    errors.run([&] { request->setRequestHeader("Content-Type", "text/plain; charset=utf-8"); });
    errors.run([&] { request->send(u16(body)); });
    if (errors.error() || !errors.test([&] { return request->readyState() == 4; }))
        return nullptr;
    return request;
}

} // namespace

std::optional<std::vector<FetchedAnswer>> fetchAnswers(const Services& services,
                                                       const std::vector<PendingAnswer>& records) {
    const auto request = post(services, wire::kAnswersPath.text(), answersRequestBody(records));
    if (!request)
        return std::nullopt;
    IgnoreErrors errors;
    std::optional<std::vector<FetchedAnswer>> answers;
    errors.run([&] {
        if (request->Status() == 200)
            answers = readAnswersReply(toUtf8(request->responseText()), records);
    });
    errors.run([&] { request->abort(); });
    if (answers && !services.answerKey.empty())
        std::erase_if(*answers,
                      [&](const FetchedAnswer& a) { return !answerSigned(a, services.answerKey); });
    return answers;
}

bool confirmAnswer(const Services& services, const FetchedAnswer& answer) {
    const auto request = post(services, wire::kAnswersSeenPath.text(), seenRequestBody(answer));
    if (!request)
        return false;
    IgnoreErrors errors;
    const bool had = errors.test([&] {
        const int status = request->Status();
        return status >= 200 && status <= 299;
    });
    errors.run([&] { request->abort(); });
    return had;
}

AnswerInbox::AnswerInbox(Services services, ToUi toUi)
    : services_(std::move(services)), toUi_(std::move(toUi)) {}

void AnswerInbox::runOff(std::function<void()> job) {
    ++state_->running;
    // Detached: a tool closed during an exchange ends at once instead of
    // waiting for it. The thread holds the count it lowers.
    std::thread([state = state_, job = std::move(job)] {
        job();
        --state->running;
    }).detach();
}

bool AnswerInbox::start(std::function<void(std::vector<FetchedAnswer>)> arrived) {
    if (services_.answerKeys == nullptr)
        return false;
    const std::vector<PendingAnswer> records =
        loadPendingAnswers(*services_.answerKeys, services_.clock());
    if (records.empty())
        return false;
    runOff([services = services_, toUi = toUi_, records, arrived = std::move(arrived)] {
        auto answers = fetchAnswers(services, records);
        if (answers && !answers->empty())
            toUi([arrived, answers = std::move(*answers)]() mutable {
                arrived(std::move(answers));
            });
    });
    return true;
}

void AnswerInbox::confirm(const FetchedAnswer& answer) {
    runOff([services = services_, answer] {
        if (confirmAnswer(services, answer) && services.answerKeys != nullptr)
            dropPendingAnswer(*services.answerKeys, answer.record.secret, services.clock());
    });
}

} // namespace pelvoran
