#include "platform/http_request.h"

#include "platform/ansi.h"
#include "platform/errors.h"
#include "platform/hex.h"

#include <algorithm>
#include <cctype>

namespace pelvoran {

std::unique_ptr<HttpRequest> HttpComponentRegistry::create(std::string_view name) const {
    const auto it = factories_.find(name);
    if (it == factories_.end())
        throw StepError(kCannotCreateObject, "no component class " + std::string(name));
    auto object = it->second();
    if (!object)
        throw StepError(kCannotCreateObject, "cannot create " + std::string(name));
    return object;
}

std::string urlForWire(const Text& url) {
    return percentEncode(toUtf8(url), [](unsigned char b) {
        return b > 0x20 && b < 0x7F &&
               std::string_view("\"<>\\^`{|}").find(static_cast<char>(b)) == std::string_view::npos;
    });
}

namespace {

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string charsetOf(std::string_view contentType) {
    const std::string lower = lowerAscii(contentType);
    auto pos = lower.find("charset=");
    if (pos == std::string::npos)
        return {};
    std::string_view value = std::string_view(lower).substr(pos + 8);
    value = value.substr(0, value.find(';'));
    while (!value.empty() &&
           (value.front() == ' ' || value.front() == '"' || value.front() == '\''))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '"' || value.back() == '\''))
        value.remove_suffix(1);
    return std::string(value);
}

} // namespace

Text decodeHttpBody(std::string_view bytes, std::string_view contentType) {
    const std::string charset = charsetOf(contentType);
    if (charset == "gbk" || charset == "gb2312" || charset == "cp936" || charset == "x-gbk" ||
        charset == "euc-cn")
        return gbkToText(bytes);
    if (charset == "gb18030")
        return gbkToText(bytes, true);
    if (charset == "iso-8859-1" || charset == "latin1" || charset == "us-ascii") {
        Text out;
        out.reserve(bytes.size());
        for (const char c : bytes)
            out += static_cast<char16_t>(static_cast<unsigned char>(c));
        return out;
    }
    return fromUtf8Lenient(bytes);
}

} // namespace pelvoran
