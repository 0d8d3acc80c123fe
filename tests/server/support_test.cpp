// The support room on its own: stored text as a terminal shows it, the
// log's lines, the worker thread's wake-ups and end.
#include "server/support/log.h"
#include "server/support/terminal_text.h"
#include "server/support/worker.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

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

// Each entry of the log is one line, whatever its text carries: libpq's
// errors come in several, with tabs.
TEST(Log, EachEntryIsOneLine) {
    const std::string entries[] = {
        "无法连接（connection refused\n\tIs the server running on that host?\n）\n", "a\r\nb\n\n",
        "\x1b[2J\u202e", ""};
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(ends[1], 2);
    for (const std::string& e : entries)
        logError(e);
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(ends[1]);
    std::string logged;
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        logged.append(buffer, static_cast<std::size_t>(n));
    ::close(ends[0]);
    std::vector<std::string> lines{""};
    for (const char c : logged) {
        if (c == '\n')
            lines.emplace_back();
        else
            lines.back().push_back(c);
    }
    EXPECT_EQ(lines.back(), "") << "the last entry did not end its line";
    lines.pop_back();
    ASSERT_EQ(lines.size(), std::size(entries)) << logged;
    for (const std::string& line : lines)
        EXPECT_TRUE(line.starts_with("pelvoran-server: ")) << line;
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
