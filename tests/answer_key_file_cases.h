// The pending-keys file on disk, as every platform's AnswerKeyFile keeps it:
// replaced whole, a damaged one set aside rather than trusted, old records
// dropped as it is read, no temporary file left, and two tools writing at
// once losing nothing. A suite includes this file and calls
// checkAnswerKeyFileOnDisk with a folder of its own that does not exist yet
// (its path in UTF-8); what the platform adds (the POSIX modes) it checks
// itself.
#pragma once

#include "net/answer_keys.h"
#include "platform/answer_key_file.h"
#include "platform/reply_secret.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pelvoran::test {
namespace {

/// A record as the tool writes it, for secret byte `fill`.
PendingAnswer recordFor(char fill, std::string date, Text comment = u"镜头") {
    const std::string bytes(16, fill);
    return {encodeBase64Url(bytes), replyKeyHash(bytes), std::to_string(100 + fill),
            std::move(date), std::move(comment)};
}

/// A path given in UTF-8, whatever the system's code page.
std::filesystem::path pathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string fileOf(const std::string& path) {
    std::ifstream in(pathOf(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// Runs the cases in `dir` (made by the file; its parent exists).
void checkAnswerKeyFileOnDisk(const std::string& dir) {
    SCOPED_TRACE(dir);
    const std::string path = dir + "/answer-keys";
    const auto file = answerKeyFileIn(dir);
    ASSERT_NE(file, nullptr);
    const LocalDateTime today{2026, 12, 9, 12, 0, 0};
    EXPECT_TRUE(loadPendingAnswers(*file, today).empty()); // no file yet

    ASSERT_TRUE(addPendingAnswer(*file, recordFor('a', "2026-12-09"), today));
    ASSERT_TRUE(addPendingAnswer(*file, recordFor('b', "2026-05-01"), today)); // too old
    ASSERT_TRUE(addPendingAnswer(*file, recordFor('c', "2026-12-09"), today));
    EXPECT_EQ(loadPendingAnswers(*file, today),
              (std::vector{recordFor('a', "2026-12-09"), recordFor('c', "2026-12-09")}));
    ASSERT_TRUE(dropPendingAnswer(*file, recordFor('a', "").secret, today));
    EXPECT_EQ(fileOf(path), writePendingAnswers({recordFor('c', "2026-12-09")}));

    // Read on a later day, the expired record is gone from the file too.
    EXPECT_TRUE(loadPendingAnswers(*file, LocalDateTime{2027, 7, 1, 0, 0, 0}).empty());
    EXPECT_EQ(fileOf(path), writePendingAnswers({}));

    const std::string damaged = "pelvoran-answer-keys 1\nnonsense\n";
    std::ofstream(pathOf(path), std::ios::binary) << damaged;
    EXPECT_TRUE(loadPendingAnswers(*file, today).empty());
    EXPECT_EQ(fileOf(path + ".damaged"), damaged);
    ASSERT_TRUE(addPendingAnswer(*file, recordFor('d', "2026-12-09"), today));
    EXPECT_EQ(loadPendingAnswers(*file, today), std::vector{recordFor('d', "2026-12-09")});

    // Two tools adding at once, each through a file object of its own: the
    // lock keeps every record.
    std::vector<std::thread> tools;
    for (const char first : {'A', 'K'}) {
        tools.emplace_back([&dir, first, today] {
            const auto own = answerKeyFileIn(dir);
            for (char c = first; c < first + 8; ++c)
                EXPECT_TRUE(addPendingAnswer(*own, recordFor(c, "2026-12-09"), today)) << c;
        });
    }
    for (auto& t : tools)
        t.join();
    EXPECT_EQ(loadPendingAnswers(*file, today).size(), 17u);

    // Nothing but the file, its lock and the damaged one: no temporary left.
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(pathOf(dir)))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names,
              (std::set<std::string>{"answer-keys", "answer-keys.damaged", "answer-keys.lock"}));
}

} // namespace
} // namespace pelvoran::test
