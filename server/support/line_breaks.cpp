#include "server/support/line_breaks.h"

#include "platform/ansi.h"

namespace pelvoran::server {

Text oneLfPerLineBreak(TextView text) {
    Text out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\r') {
            if (i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
            out += u'\n';
        } else {
            out += c == u'\0' ? kAnsiCharReplacement : c;
        }
    }
    return out;
}

} // namespace pelvoran::server
