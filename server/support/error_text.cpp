#include "server/support/error_text.h"

#include <cerrno>
#include <cstring>

namespace pelvoran::server {

std::string systemErrorText(int error) {
    const char* cause = "系统出错";
    switch (error) {
    case EACCES:
    case EPERM: cause = "权限不够，请用 sudo 运行"; break;
    case ENOSPC:
    case EDQUOT: cause = "磁盘已满，请腾出空间后重试"; break;
    case ENOENT: cause = "不存在，请检查路径是否写错"; break;
    case ENOTDIR: cause = "路径中有一项不是目录"; break;
    case EISDIR: cause = "这是目录，而不是文件"; break;
    case EROFS: cause = "所在的文件系统是只读的"; break;
    case EEXIST: cause = "已存在"; break;
    case EIO: cause = "磁盘读写出错，请检查磁盘"; break;
    case EAGAIN: cause = "被另一个进程锁住，请稍后重试"; break;
    case EMFILE:
    case ENFILE: cause = "打开的文件太多"; break;
    case ENOMEM: cause = "内存不够"; break;
    default: break;
    }
    return std::string(cause) + "（" + std::strerror(error) + "）";
}

} // namespace pelvoran::server
