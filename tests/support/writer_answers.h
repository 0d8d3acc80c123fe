#pragma once

#include "server/store/comment_writer.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pelvoran::test {

/// Collects the writer's answers and waits for them.
struct WriterAnswers {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<bool> stored;
    std::vector<std::int64_t> numbers; // 0: no reply key kept
    server::CommentWriter::Done done() {
        return [this](bool ok, std::int64_t number) {
            const std::lock_guard lock(mutex);
            stored.push_back(ok);
            numbers.push_back(number);
            arrived.notify_all();
        };
    }
    bool waitFor(std::size_t n) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return stored.size() >= n; });
    }
};

} // namespace pelvoran::test
