#include "server/support/files.h"

#include "server/support/error_text.h"
#include "server/support/support_texts.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace pelvoran::server {

void syncFile(int fd, const std::string& shown) {
    if (::fsync(fd) != 0)
        throw std::runtime_error(support_text::cannotSync(shown, systemErrorText(errno)));
}

void copyAll(int from, int to, const std::string& shown) {
    std::vector<char> buffer(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(from, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error(support_text::cannotReadCopied(systemErrorText(errno)));
        if (n == 0)
            return;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) // a write of nothing: the disk is full
                throw std::runtime_error(
                    support_text::cannotWrite(shown, systemErrorText(w < 0 ? errno : ENOSPC)));
            done += w;
        }
        at += n;
    }
}

std::optional<std::string> readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace pelvoran::server
