#include "net/update_check.h"

#include "decode/lens_query.h"
#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "net/ignore_errors.h"
#include "platform/version.h"

namespace pelvoran {

std::vector<Text> splitReplyFields(const Text& reply) {
    std::vector<Text> fields;
    if (reply.empty())
        return fields;
    static constexpr TextView kSeparator = u"[;]";
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = reply.find(kSeparator, start);
        if (at == Text::npos) {
            fields.emplace_back(reply.substr(start));
            return fields;
        }
        fields.emplace_back(reply.substr(start, at - start));
        start = at + kSeparator.size();
    }
}

std::optional<std::string> safeDownloadAddress(const Text& field) {
    TextView address = field;
    while (!address.empty() && (address.back() == u'\n' || address.back() == u'\r'))
        address.remove_suffix(1);
    for (const char16_t c : address) {
        if (c <= 0x20 || c >= 0x7F)
            return std::nullopt;
    }
    std::string ascii(address.begin(), address.end());
    std::string lower = ascii;
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::size_t hostStart;
    if (lower.starts_with("http://"))
        hostStart = 7;
    else if (lower.starts_with("https://"))
        hostStart = 8;
    else
        return std::nullopt;
    const std::size_t hostEnd = ascii.find_first_of("/?#", hostStart);
    const std::string_view authority = std::string_view(ascii).substr(
        hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    const std::size_t at = authority.rfind('@');
    const std::string_view host =
        at == std::string_view::npos ? authority : authority.substr(at + 1);
    if (host.empty() || host.front() == ':' || host.front() == '-')
        return std::nullopt;
    return ascii;
}

UpdateCheck::UpdateCheck(Services services) : services_(std::move(services)) {}

void UpdateCheck::CheckUpdate() {
    if (!CreateHttpClient(HttpClient, services_.registry))
        return;
    IgnoreErrors errors;
    Text address;
    errors.run([&] {
        address = services_.baseAddress + kUpdatePath +
                  services_.regional.formatDateTime(services_.clock());
    });
    errors.run([&] { HttpClient->Open("GET", address, false); });
    errors.run([&] { HttpClient->send(); });
    if (errors.error())
        return;
    if (errors.test([&] { return HttpClient->readyState() == 4; }))
        OnReadyV();
}

void UpdateCheck::OnReadyV() {
    IgnoreErrors errors;
    if (!errors.test([&] { return HttpClient->readyState() == 4; }))
        return;

    if (errors.test([&] { return HttpClient->Status() == 200; })) {
        Text reply;
        errors.run([&] { reply = Decode(HttpClient->responseText()); });
        std::vector<Value> fields;
        for (auto& f : splitReplyFields(reply))
            fields.emplace_back(std::move(f));

        const bool newer = errors.test([&] {
            return std::get<double>(Null2Int(fields.at(0), services_.regional)) > CURRENT_VERSION;
        });
        if (newer) {
            auto fieldText = [&](std::size_t i) { return std::get<Text>(fields.at(i)); };
            Text message;
            errors.run([&] {
                const double version = std::get<double>(Null2Int(fields.at(0), services_.regional));
                message +=
                    update_text::kVersion + services_.regional.formatNumber(version) + kLineBreak;
            });
            errors.run([&] { message += update_text::kDate + fieldText(2) + kLineBreak; });
            errors.run([&] { message += update_text::kNotes + fieldText(3) + kLineBreak; });
            message += update_text::kClickOk;
            message += kLineBreak;

            MessageAnswer answer = MessageAnswer::Cancel;
            errors.run([&] {
                answer = services_.messageBoxes.show(message, update_text::kTitle,
                                                     MessageButtons::OkCancel);
            });
            if (answer == MessageAnswer::Ok) {
                // Only a plain web address is handed on, as one argument; the
                // process ends whether or not anything was started.
                errors.run([&] {
                    if (const auto url = safeDownloadAddress(fieldText(1)))
                        services_.shell.openUrl(*url);
                });
                exitRequested_ = true;
                services_.shell.exitNow();
                return;
            }
        }
    }
    errors.run([&] { HttpClient->abort(); });
}

} // namespace pelvoran
