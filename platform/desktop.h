#pragma once

#include "platform/text.h"

#include <chrono>
#include <string>

namespace pelvoran {

enum class MessageButtons { Ok, OkCancel };
enum class MessageAnswer { Ok, Cancel };

/// Standard message boxes: short title, no icon, OK (the default button) or
/// OK and Cancel. Modal; closing the box counts as Cancel.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual MessageAnswer show(const Text& message, const Text& title, MessageButtons buttons) = 0;
};

/// What the tool asks of the desktop shell.
class Shell {
public:
    virtual ~Shell() = default;
    /// Hands an address to the desktop's opener as one argument, without a
    /// command interpreter. False when nothing could open it: the opener did
    /// not start, or said within a few seconds that it found nothing.
    virtual bool openUrl(const std::string& url) = 0;
    /// Ends the process at once, without any window's close handling.
    virtual void exitNow() = 0;
};

/// The desktop opener (xdg-open on Linux) and _exit.
class SystemShell final : public Shell {
public:
    /// `openerWait`: how long an opener that has not ended yet may still say
    /// that it found nothing (Linux; the product waits 3 s).
    explicit SystemShell(std::chrono::milliseconds openerWait = std::chrono::seconds(3))
        : openerWait_(openerWait) {}
    bool openUrl(const std::string& url) override;
    void exitNow() override;

private:
    std::chrono::milliseconds openerWait_;
};

} // namespace pelvoran
