#include "server/support/worker.h"

#include <utility>

namespace pelvoran::server {

Worker::Worker(std::function<void(Worker&)> loop)
    : thread_([this, loop = std::move(loop)] { loop(*this); }) {}

Worker::~Worker() {
    stop();
    thread_.join();
}

void Worker::wake() {
    {
        const std::lock_guard lock(mutex_);
        wake_ = true;
    }
    woken_.notify_one();
}

void Worker::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    woken_.notify_one();
}

bool Worker::stopping() const {
    const std::lock_guard lock(mutex_);
    return stopping_;
}

bool Worker::wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    woken_.wait_for(lock, limit, [this] { return wake_ || stopping_; });
    wake_ = false;
    return !stopping_;
}

} // namespace pelvoran::server
