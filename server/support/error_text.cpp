#include "server/support/error_text.h"

#include "server/support/support_texts.h"

#include <cerrno>
#include <cstring>

namespace pelvoran::server {

std::string systemErrorText(int error) {
    const char* cause = support_text::kSystemError;
    switch (error) {
    case EACCES:
    case EPERM: cause = support_text::kNoPermission; break;
    case ENOSPC:
    case EDQUOT: cause = support_text::kDiskFull; break;
    case ENOENT: cause = support_text::kNoSuchPath; break;
    case ENOTDIR: cause = support_text::kNotDirectory; break;
    case EISDIR: cause = support_text::kIsDirectory; break;
    case EROFS: cause = support_text::kReadOnly; break;
    case EEXIST: cause = support_text::kExists; break;
    case EIO: cause = support_text::kDiskError; break;
    case EAGAIN: cause = support_text::kLocked; break;
    case EMFILE:
    case ENFILE: cause = support_text::kTooManyFiles; break;
    case ENOMEM: cause = support_text::kNoMemory; break;
    default: break;
    }
    return std::string(cause) + "（" + std::strerror(error) + "）";
}

} // namespace pelvoran::server
