// The update reply: body bytes and a Content-Type, as the server sends them,
// to what the user would be shown. Whatever comes, only a plain web address
// of printable ASCII is ever handed to the desktop, the tool ends only after
// an offer accepted and an opener started, and an accepted offer that starts
// nothing is followed by the notice.
// Input: the Content-Type, a line feed, then the body.
#include "net/update_check.h"
#include "platform/desktop.h"
#include "platform/http_request.h"
#include "tests/support/fake_request.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace pelvoran;

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
    pelvoran::test::FakeScript script;
    script.responseText = decodeHttpBody(body, type);
    pelvoran::test::CallLog log;
    check.HttpClient = std::make_unique<pelvoran::test::FakeRequest>(script, log);
    check.HttpClient->send(std::nullopt);
    check.OnReadyV();
    if (boxes.shown > 2 || shell.opened > 1 || shell.exits != shell.opened)
        std::abort();
    if (boxes.shown == 1 && shell.opened == 0) // accepted, nothing started, nothing said
        std::abort();
    if (boxes.shown == 2 && shell.opened != 0)
        std::abort();
    return 0;
}
