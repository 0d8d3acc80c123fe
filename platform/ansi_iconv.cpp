// GBK through glibc iconv. Each thread opens its converter once and keeps it;
// ASCII never reaches iconv, since GBK keeps 0x00..0x7F as they are.
#include "platform/ansi.h"

#include <array>
#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace pelvoran {
namespace {

class IconvHandle final {
public:
    IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error("iconv cannot convert between GBK and UTF-16");
    }
    ~IconvHandle() { iconv_close(cd_); }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;

    /// Converts in[0..inLen) completely, or returns -1 (the state is reset
    /// either way, so a failed character does not spoil the next one).
    int convert(const char* in, std::size_t inLen, char* out, std::size_t outCap) {
        char* ip = const_cast<char*>(in);
        char* op = out;
        std::size_t il = inLen;
        std::size_t ol = outCap;
        const std::size_t r = iconv(cd_, &ip, &il, &op, &ol);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (r == static_cast<std::size_t>(-1) || il != 0)
            return -1;
        return static_cast<int>(outCap - ol);
    }

    std::size_t raw(char** ip, std::size_t* il, char** op, std::size_t* ol) {
        return iconv(cd_, ip, il, op, ol);
    }
    void reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t cd_;
};

IconvHandle& toGbk() {
    thread_local IconvHandle h("GBK", "UTF-16LE");
    return h;
}

std::array<char16_t, 256> buildByteTable() {
    std::array<char16_t, 256> table{};
    IconvHandle fromGbk("UTF-16LE", "GBK");
    for (unsigned b = 0; b < 256; ++b) {
        if (b < 0x80) {
            table[b] = static_cast<char16_t>(b);
            continue;
        }
        const char in = static_cast<char>(b);
        unsigned char out[8];
        const int n = fromGbk.convert(&in, 1, reinterpret_cast<char*>(out), sizeof out);
        table[b] = n == 2 ? static_cast<char16_t>(out[0] | (out[1] << 8)) : kAnsiCharReplacement;
    }
    return table;
}

} // namespace

std::int16_t AnsiCode(char16_t c) {
    if (c < 0x80)
        return static_cast<std::int16_t>(c);
    if (c >= 0xD800 && c <= 0xDFFF)
        return 63; // a surrogate half has no code of its own
    const char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    unsigned char out[8];
    const int n = toGbk().convert(in, 2, reinterpret_cast<char*>(out), sizeof out);
    if (n == 1)
        return out[0];
    if (n == 2)
        return static_cast<std::int16_t>(out[0] * 256 + out[1] - 65536);
    return 63;
}

Text gbkToText(std::string_view bytes, bool gb18030) {
    thread_local IconvHandle gbk("UTF-16LE", "GBK");
    thread_local IconvHandle gb18030Decoder("UTF-16LE", "GB18030");
    IconvHandle& decoder = gb18030 ? gb18030Decoder : gbk;
    decoder.reset();
    Text out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    char buf[4096];
    while (i < bytes.size()) {
        char* ip = const_cast<char*>(bytes.data() + i);
        std::size_t il = bytes.size() - i;
        char* op = buf;
        std::size_t ol = sizeof buf;
        const std::size_t r = decoder.raw(&ip, &il, &op, &ol);
        const int error = errno;
        for (const char* p = buf; p + 1 < op; p += 2)
            out += static_cast<char16_t>(static_cast<unsigned char>(p[0]) |
                                         (static_cast<unsigned char>(p[1]) << 8));
        i = bytes.size() - il;
        if (r == static_cast<std::size_t>(-1) && error != E2BIG) {
            out += kAnsiCharReplacement; // invalid or truncated: skip one byte
            ++i;
            decoder.reset();
        }
    }
    return out;
}

char16_t AnsiChar(std::uint8_t byte) {
    static const std::array<char16_t, 256> table = buildByteTable();
    return table[byte];
}

} // namespace pelvoran
