#include "server/support/counters.h"

#include "server/support/support_texts.h"

#include <algorithm>
#include <iterator>

namespace pelvoran::server {
namespace {

void countSeries(Metrics::Series& series, std::string_view version, std::string_view platform) {
    if (const auto it = series.find(std::pair(version, platform)); it != series.end())
        ++it->second;
    else if (series.size() < Metrics::kMaxSeries)
        ++series[{std::string(version), std::string(platform)}];
    else
        ++series[{support_text::kOtherVersions, std::string(platform)}];
}

} // namespace

void Metrics::updateCheck(std::string_view version, std::string_view platform) {
    updateChecks_.fetch_add(1, std::memory_order_relaxed);
    const std::lock_guard lock(labelled_);
    countSeries(checksByLabel_, version, platform);
}

void Metrics::download(std::string_view version, std::string_view platform) {
    const std::lock_guard lock(labelled_);
    countSeries(downloads_, version, platform);
}

void Metrics::offer(std::string_view version, std::string_view platform) {
    const std::lock_guard lock(labelled_);
    countSeries(offers_, version, platform);
}

Metrics::Series Metrics::updateChecksByLabel() const {
    const std::lock_guard lock(labelled_);
    return checksByLabel_;
}

Metrics::Series Metrics::downloads() const {
    const std::lock_guard lock(labelled_);
    return downloads_;
}

Metrics::Series Metrics::offers() const {
    const std::lock_guard lock(labelled_);
    return offers_;
}

void Metrics::refused(unsigned status) {
    const auto* at = std::find(kRefusals.begin(), kRefusals.end(), status);
    if (at == kRefusals.end())
        at = kRefusals.begin();
    refused_[static_cast<std::size_t>(at - kRefusals.begin())].fetch_add(1,
                                                                         std::memory_order_relaxed);
}

void Metrics::held(std::string_view reason) {
    const std::lock_guard lock(labelled_);
    if (const auto it = held_.find(reason); it != held_.end())
        ++it->second;
    else if (held_.size() < kMaxReasons)
        ++held_[std::string(reason)];
    else
        ++std::prev(held_.end())->second;
}

std::map<std::string, std::uint64_t, std::less<>> Metrics::heldByReason() const {
    const std::lock_guard lock(labelled_);
    return held_;
}

std::map<unsigned, std::uint64_t> Metrics::refusals() const {
    std::map<unsigned, std::uint64_t> out;
    for (std::size_t i = 0; i < kRefusals.size(); ++i)
        out[kRefusals[i]] = refused_[i].load();
    return out;
}

} // namespace pelvoran::server
