#include "server/support/clock.h"

namespace pelvoran::server {
namespace {

class SystemClock final : public Clock {
public:
    TimePoint now() const override {
        return std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    }
};

} // namespace

const Clock& Clock::system() {
    static const SystemClock clock;
    return clock;
}

} // namespace pelvoran::server
