// The update reply: body bytes and a Content-Type, as the server sends them,
// to what the user would be shown. Whatever comes, only a plain web address
// is ever handed to the desktop, and the tool ends only after an offer.
// Input: the Content-Type, a line feed, then the body.
#include "net/update_check.h"
#include "platform/desktop.h"
#include "platform/http_request.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace pelvoran;

class ReplyRequest final : public HttpRequest {
public:
    ReplyRequest(std::string body, std::string type)
        : body_(std::move(body)), type_(std::move(type)) {}
    void Open(std::string_view, const Text&, bool) override {}
    void setRequestHeader(std::string_view, std::string_view) override {}
    void send(std::optional<Text>) override {}
    int readyState() const override { return state_; }
    int Status() const override { return 200; }
    Text responseText() const override { return decodeHttpBody(body_, type_); }
    void abort() override { state_ = 0; }

private:
    std::string body_;
    std::string type_;
    int state_ = 4;
};

class AcceptingBoxes final : public MessageBoxes {
public:
    MessageAnswer show(const Text&, const Text&, MessageButtons) override {
        ++shown;
        return MessageAnswer::Ok;
    }
    int shown = 0;
};

class CheckingShell final : public Shell {
public:
    bool openUrl(const std::string& url) override {
        const bool web = url.starts_with("http://") || url.starts_with("https://") ||
                         url.starts_with("HTTP://") || url.starts_with("HTTPS://") ||
                         safeDownloadAddress(Text(url.begin(), url.end())).has_value();
        for (const char c : url)
            if (c <= 0x20 || c >= 0x7F)
                std::abort();
        if (!web)
            std::abort();
        ++opened;
        return true;
    }
    void exitNow() override { ++exits; }
    int opened = 0;
    int exits = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string type(input.substr(0, newline == std::string_view::npos ? 0 : newline));
    const std::string body(newline == std::string_view::npos ? input : input.substr(newline + 1));

    static const HttpComponentRegistry registry;
    AcceptingBoxes boxes;
    CheckingShell shell;
    UpdateCheck check({registry, boxes, shell, [] { return LocalDateTime{}; },
                       RegionalSettings::zhCN(), u"http://127.0.0.1"});
    check.HttpClient = std::make_unique<ReplyRequest>(body, type);
    check.OnReadyV();
    if (boxes.shown > 1 || shell.opened > 1 || shell.exits != boxes.shown)
        std::abort();
    return 0;
}
