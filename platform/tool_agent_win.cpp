#include "platform/tool_agent.h"

namespace pelvoran {

std::string_view toolPlatformLabel() {
    return "Windows";
}

} // namespace pelvoran
