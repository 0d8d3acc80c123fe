#pragma once

#include "platform/http_request.h"

#include "platform/text.h"
#include "platform/version.h"

#include <chrono>
#include <functional>
#include <string>

namespace pelvoran {

class PelvoranForm;

struct AppOptions {
    /// The publisher's web server: scheme and host, no trailing slash.
    Text baseAddress;
    /// The publisher's public key that offers must be signed by: the
    /// build's own (PELVORAN_UPDATE_KEY) unless a test driver passes another;
    /// empty, offers are taken unsigned.
    std::string updateKey = kUpdateKey;
    /// The publisher's public key that answers must be signed by: the build's
    /// own (PELVORAN_ANSWER_KEY) unless a test driver passes another; empty,
    /// answers are shown unsigned.
    std::string answerKey = kAnswerKey;
    /// The limits of every request: the product's own unless a test driver
    /// passes shorter ones.
    HttpLimits httpLimits;
    /// How long an opener still running may yet say it found nothing.
    std::chrono::milliseconds openerWait = std::chrono::seconds(3);
    /// Runs before the main window is loaded (for test drivers).
    std::function<void()> beforeLoad;
    /// Runs once the main window is shown (for test drivers and benchmarks).
    std::function<void(PelvoranForm&)> afterShow;
};

/// Starts the tool: the main window is loaded (the update check runs before
/// anything is shown), then shown; returns when the last window is closed.
/// The tool reads no command line: Qt sees none of the process's arguments
/// (no -style, -reverse, -platform ...), though its environment variables
/// still apply.
int runPelvoran(const AppOptions& options);

} // namespace pelvoran
