#include "server/cli/backup_file.h"

#include "server/cli/cli_texts.h"
#include "server/cli/command_support.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelvoran::server {

Fd openBackupFile(const std::string& file, const std::string& what) {
    // Not through a link; not a FIFO, whose open or read would wait for ever.
    Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0 && errno == ELOOP)
        throw UsageError{cli_text::backupIsLink(what, file), false};
    if (fd.get() < 0)
        throw UsageError{cli_text::cannotReadFile(what, file, systemErrorText(errno)), false};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw UsageError{cli_text::backupNotRegular(what, file), false};
    static constexpr char kHeader[] = "SQLite format 3"; // and its final NUL: 16 bytes
    char head[sizeof kHeader] = {};
    if (::pread(fd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head, kHeader, sizeof head) != 0)
        throw UsageError{cli_text::backupNotSqlite(what, file), false};
    return fd;
}

} // namespace pelvoran::server
