#pragma once

#include "platform/desktop.h"

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace pelvoran::test {

/// What a failing fake throws: on purpose not a std::exception, since a step
/// run with errors ignored is abandoned whatever it threw.
struct FakeFailure {};

/// Answers message boxes in advance and records what was shown.
class RecordingMessageBoxes final : public MessageBoxes {
public:
    struct Shown {
        Text message;
        Text title;
        MessageButtons buttons;
    };

    void setNextAnswer(MessageAnswer answer) { answers_.push_back(answer); }

    MessageAnswer show(const Text& message, const Text& title, MessageButtons buttons) override {
        if (failing.count(attempts++) != 0)
            throw FakeFailure{};
        shown.push_back({message, title, buttons});
        if (onShow)
            onShow();
        if (answers_.empty())
            return buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
        const MessageAnswer a = answers_.front();
        answers_.pop_front();
        return a;
    }

    std::vector<Shown> shown;
    /// The boxes, counted from 0 in the order asked for, that fail to open
    /// (throw) instead.
    std::set<std::size_t> failing;
    std::size_t attempts = 0;
    /// Runs while a box is "open", before it is answered.
    std::function<void()> onShow;

private:
    std::deque<MessageAnswer> answers_;
};

/// Records what would have been started and whether the process would end.
class RecordingShell final : public Shell {
public:
    bool openUrl(const std::string& url) override {
        if (openThrows)
            throw FakeFailure{};
        opened.push_back(url);
        return openResult;
    }
    void exitNow() override { ++exits; }

    std::vector<std::string> opened;
    int exits = 0;
    /// What openUrl reports: false plays an opener that could not start.
    bool openResult = true;
    /// The launcher itself fails (throws).
    bool openThrows = false;
};

} // namespace pelvoran::test
