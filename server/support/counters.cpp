#include "server/support/counters.h"

#include <algorithm>

namespace pelvoran::server {

void Metrics::refused(unsigned status) {
    const auto* at = std::find(kRefusals.begin(), kRefusals.end(), status);
    if (at == kRefusals.end())
        at = kRefusals.begin();
    refused_[static_cast<std::size_t>(at - kRefusals.begin())].fetch_add(1,
                                                                         std::memory_order_relaxed);
}

std::map<unsigned, std::uint64_t> Metrics::refusals() const {
    std::map<unsigned, std::uint64_t> out;
    for (std::size_t i = 0; i < kRefusals.size(); ++i)
        out[kRefusals[i]] = refused_[i].load();
    return out;
}

} // namespace pelvoran::server
