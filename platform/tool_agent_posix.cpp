#include "platform/tool_agent.h"

namespace pelvoran {

// The desktop tool built on POSIX is the Linux tool.
std::string_view toolPlatformLabel() {
    return "Linux";
}

} // namespace pelvoran
