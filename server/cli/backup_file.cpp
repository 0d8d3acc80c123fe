#include "server/cli/backup_file.h"

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
        throw UsageError{what + "：" + file + " 是符号链接：请写出备份文件本身的路径", false};
    if (fd.get() < 0)
        throw UsageError{what + "：无法读取 " + file + "：" + systemErrorText(errno), false};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw UsageError{what + "：" + file +
                             " 不是普通文件：请写出 pelvoran-server backup 做的备份文件",
                         false};
    static constexpr char kHeader[] = "SQLite format 3"; // and its final NUL: 16 bytes
    char head[sizeof kHeader] = {};
    if (::pread(fd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head, kHeader, sizeof head) != 0)
        throw UsageError{what + "：" + file +
                             " 不是 SQLite 数据库文件（开头不是 SQLite 的文件头）：请确认它是 "
                             "pelvoran-server backup 做的备份",
                         false};
    return fd;
}

} // namespace pelvoran::server
