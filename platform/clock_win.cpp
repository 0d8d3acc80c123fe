#include "platform/clock.h"

#include <windows.h>

namespace pelvoran {

LocalDateTime localNow() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

} // namespace pelvoran
