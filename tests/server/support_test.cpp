// The support room on its own: stored text as a terminal shows it, the
// worker thread's wake-ups and end.
#include "server/support/terminal_text.h"
#include "server/support/worker.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <string>

using namespace pelvoran;
using namespace pelvoran::server;
using namespace std::chrono_literals;

// Nothing in a comment acts on the terminal or passes for the head of an
// entry in `comments list`.
TEST(TerminalText, ShowsControlsAndIndentsEveryLine) {
    const struct {
        Text text;
        std::string shown;
    } cases[] = {
        {u"镜头很好😀", "    镜头很好😀\n"},
        {u"a\nb\n", "    a\n    b\n    \n"},
        {u"\n\n#9  2026-12-01 10:00:00  网页\n假的",
         "    \n    \n    #9  2026-12-01 10:00:00  网页\n    假的\n"},
        {u"\x1b]0;title\x07\x1b[2J", "    \\x1b]0;title\\x07\\x1b[2J\n"},
        {u"a\r#2", "    a\\x0d#2\n"},
        {u"\t\x7f\x80\x9b\x9f\xa0", "    \\x09\\x7f\\x80\\x9b\\x9f\xc2\xa0\n"},
        {u"x\u202Etxt.exe", "    x\\u202etxt.exe\n"},
        {u"\u061C\u200E\u200F\u202A\u2066\u2069\u2028\u2029",
         "    \\u061c\\u200e\\u200f\\u202a\\u2066\\u2069\\u2028\\u2029\n"},
        {u"\u200D\u2065\u202F", "    \u200D\u2065\u202F\n"}, // beside the ranges
        {u"", "    \n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(terminalText(c.text), c.shown) << toUtf8(c.text);
}

// A wake-up ends a wait however long its limit, one that came before the
// wait too, and stop() ends the loop without its limit waited out.
TEST(Worker, WakesAndEndsWithoutWaitingOutItsLimit) {
    std::mutex mutex;
    std::condition_variable changed;
    int rounds = 0;
    bool ended = false;
    const auto until = [&](const auto& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, done);
    };
    Worker worker([&](Worker& self) {
        self.wake(); // before the first wait: kept for it
        while (self.wait(60s)) {
            const std::lock_guard lock(mutex);
            ++rounds;
            changed.notify_all();
        }
        const std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
    });
    ASSERT_TRUE(until([&] { return rounds == 1; })) << "the wake-up before the wait was lost";
    worker.wake();
    ASSERT_TRUE(until([&] { return rounds == 2; })) << "the wake-up was lost";
    worker.stop();
    EXPECT_TRUE(until([&] { return ended && rounds == 2; })) << "the loop did not end at stop()";
}
