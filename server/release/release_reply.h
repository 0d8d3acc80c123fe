#pragma once

#include "server/release/release.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pelvoran::server {

/// The update check's reply, built once each time the published release
/// changes and shared by every answer.
class ReleaseReply {
public:
    std::shared_ptr<const std::string> body() const {
        const std::lock_guard lock(mutex_);
        return body_;
    }
    void set(const std::optional<Release>& release) {
        auto body = std::make_shared<const std::string>(release ? replyBody(*release) : "");
        const std::lock_guard lock(mutex_);
        body_ = std::move(body);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> body_ = std::make_shared<const std::string>();
};

} // namespace pelvoran::server
