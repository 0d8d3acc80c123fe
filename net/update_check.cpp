#include "net/update_check.h"

#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "net/ignore_errors.h"
#include "net/wire.h"
#include "platform/hex.h"
#include "platform/signature.h"
#include "platform/value_numbers.h"
#include "platform/version.h"

namespace pelvoran {

std::vector<Text> splitReplyFields(const Text& reply) {
    std::vector<Text> fields;
    if (reply.empty())
        return fields;
    constexpr TextView kSeparator = wire::kReplySeparator.text();
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

namespace {

/// The version field is data, written with "." whatever the user's locale.
const RegionalSettings& wireNumbers() {
    static const RegionalSettings invariant = RegionalSettings::invariant();
    return invariant;
}

} // namespace

bool isNewerVersion(const Text& field) {
    Value version = field;
    return std::get<double>(Null2Int(version, wireNumbers())) > CURRENT_VERSION;
}

std::optional<std::string> safeDownloadAddress(const Text& field) {
    TextView address = field;
    while (!address.empty() && (address.back() == u'\n' || address.back() == u'\r'))
        address.remove_suffix(1);
    std::string ascii;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const char16_t c = address[i];
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F))
            return std::nullopt; // control characters
        // A quote is encoded as browsers do: openers that pass the address
        // on through a command line would take it as the argument's end.
        if (c > 0x20 && c < 0x7F && c != u'"') {
            ascii += static_cast<char>(c);
            continue;
        }
        std::size_t units = 1;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < address.size() && address[i + 1] >= 0xDC00 &&
            address[i + 1] <= 0xDFFF)
            units = 2;
        else if (c >= 0xD800 && c <= 0xDFFF)
            return std::nullopt; // half a character
        for (const char byte : toUtf8(address.substr(i, units)))
            appendPercentEscaped(ascii, static_cast<unsigned char>(byte));
        i += units - 1;
    }
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

Text notesForPrompt(TextView notes) {
    // A megabyte of notes would make a box far taller than any screen.
    constexpr std::size_t kMaxLines = 20;
    constexpr std::size_t kMaxCharacters = 1000;
    std::size_t end = notes.size();
    std::size_t breaks = 0;
    for (std::size_t i = 0; i < notes.size() && i < kMaxCharacters; ++i) {
        const char16_t c = notes[i];
        if (c != u'\r' && c != u'\n' && c != u'\u2028' && c != u'\u2029')
            continue;
        const std::size_t lineEnd = i;
        if (c == u'\r' && i + 1 < notes.size() && notes[i + 1] == u'\n')
            ++i;
        if (++breaks == kMaxLines) {
            if (i + 1 < notes.size())
                end = lineEnd; // a 21st line follows
            break;
        }
    }
    if (end > kMaxCharacters) {
        end = kMaxCharacters;
        if (notes[end - 1] >= 0xD800 && notes[end - 1] <= 0xDBFF)
            --end; // never half a character
    }
    Text shown(notes.substr(0, end));
    if (end < notes.size())
        shown += u'…';
    return shown;
}

std::string releaseMessage(TextView version, TextView address, TextView date, TextView notes) {
    const std::string separator(wire::kReplySeparator.ascii());
    return "pelvoran-release-v1" + separator + toUtf8(version) + separator + toUtf8(address) +
           separator + toUtf8(date) + separator + toUtf8(notes);
}

bool replySigned(const std::vector<Text>& fields, std::string_view publicKey) {
    if (fields.size() < 5)
        return false;
    return releaseSignatureValid(
        publicKey, releaseMessage(fields[0], fields[1], fields[2], fields[3]), toUtf8(fields[4]));
}

std::optional<UpdateOfferBox> updateOffer(const std::vector<Text>& fields,
                                          const RegionalSettings& regional) {
    // Every step runs with its errors ignored: a missing field leaves its line out.
    IgnoreErrors errors;
    if (!errors.test([&] { return isNewerVersion(fields.at(0)); }))
        return std::nullopt;
    Text message;
    errors.run([&] {
        Value version = fields.at(0);
        const double number = std::get<double>(Null2Int(version, wireNumbers()));
        message += update_text::kVersion + regional.formatNumber(number) + kLineBreak;
    });
    errors.run([&] { message += update_text::kDate + fields.at(2) + kLineBreak; });
    errors.run([&] { message += update_text::kNotes + notesForPrompt(fields.at(3)) + kLineBreak; });
    message += update_text::kClickOk;
    message += kLineBreak;
    return UpdateOfferBox{update_text::kTitle, std::move(message), MessageButtons::OkCancel};
}

UpdateCheck::UpdateCheck(Services services, std::function<void()> beforeNotice)
    : services_(std::move(services)), beforeNotice_(std::move(beforeNotice)) {}

void UpdateCheck::CheckUpdate() {
    if (!CreateHttpClient(HttpClient, services_.registry))
        return;
    IgnoreErrors errors;
    Text address;
    errors.run([&] {
        // Built whole or not at all: a failed step leaves no half address.
        Text built = services_.baseAddress;
        built += wire::kUpdatePath.text();
        built += wire::kUpdateQuery.text();
        built += services_.regional.formatDateTime(services_.clock());
        address = std::move(built);
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
        std::vector<Text> fields = splitReplyFields(reply);
        // A reply anyone on the way could have written is no reply at all.
        if (!services_.updateKey.empty() &&
            !errors.test([&] { return replySigned(fields, services_.updateKey); }))
            fields.clear();

        if (const auto offer = updateOffer(fields, services_.regional)) {
            MessageAnswer answer = MessageAnswer::Cancel;
            errors.run([&] {
                answer = services_.messageBoxes.show(offer->message, offer->title, offer->buttons);
            });
            if (answer == MessageAnswer::Ok) {
                // Only a plain web address is handed on, as one argument. The
                // process ends once the opener has started; when nothing
                // started, the user is told and start-up goes on as after
                // Cancel, rather than the tool just vanishing.
                bool started = false;
                errors.run([&] {
                    if (const auto url = safeDownloadAddress(fields.at(1)))
                        started = services_.shell.openUrl(*url);
                });
                if (started) {
                    exitRequested_ = true;
                    services_.shell.exitNow();
                    return;
                }
                if (beforeNotice_)
                    errors.run(beforeNotice_);
                errors.run([&] {
                    services_.messageBoxes.show(update_text::kCannotOpen,
                                                update_text::kCannotOpenTitle, MessageButtons::Ok);
                });
            }
        }
    }
    errors.run([&] { HttpClient->abort(); });
}

} // namespace pelvoran
