#include "platform/tool_agent.h"

#include "platform/version.h"

#include <cmath>

namespace pelvoran {

std::string agentVersionText(double version) {
    // Whole hundredths, written digit by digit: no conversion of the C or C++
    // library that a locale could give a decimal comma.
    const long long hundredths = std::llround(version * 100);
    std::string text = std::to_string(hundredths / 100) + '.';
    text += static_cast<char>('0' + hundredths / 10 % 10);
    text += static_cast<char>('0' + hundredths % 10);
    return text;
}

const std::string& toolAgent() {
    static const std::string agent = "Pelvoran/" + agentVersionText(CURRENT_VERSION) + " (" +
                                     std::string(toolPlatformLabel()) + ")";
    return agent;
}

} // namespace pelvoran
