#include "platform/answer_key_file.h"

namespace pelvoran {

// The Windows tool keeps no answer keys yet.
std::unique_ptr<AnswerKeyFile> userAnswerKeyFile() {
    return nullptr;
}

std::unique_ptr<AnswerKeyFile> answerKeyFileIn(const std::string&) {
    return nullptr;
}

} // namespace pelvoran
