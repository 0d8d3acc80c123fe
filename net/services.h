#pragma once

#include "platform/answer_key_file.h"
#include "platform/desktop.h"
#include "platform/http_request.h"
#include "platform/regional.h"

#include <functional>

namespace pelvoran {

/// What the update check, the comment post and the windows need of the
/// world around them. The application passes the real ones, tests their own;
/// every one of them outlives the objects that hold this struct.
struct Services {
    const HttpComponentRegistry& registry;
    MessageBoxes& messageBoxes;
    Shell& shell;
    std::function<LocalDateTime()> clock;
    RegionalSettings regional;
    /// The publisher's web server: scheme and host, no trailing slash.
    Text baseAddress;
    /// The publisher's public key (platform/signature.h): with one, only a
    /// release signed by it is offered. Empty: replies are taken unsigned.
    std::string updateKey = {};
    /// Where the pending answer keys are kept; none (nullptr): the comment
    /// post carries no reply key and nothing is kept.
    AnswerKeyFile* answerKeys = nullptr;
    /// The publisher's public key for answers: with one, only an answer
    /// signed by it is shown. Empty: answers are shown unsigned.
    std::string answerKey = {};
};

} // namespace pelvoran
