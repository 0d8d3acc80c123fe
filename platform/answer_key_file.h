#pragma once

// The file that keeps the tool's pending answer keys: in the user's data
// folder, readable by the user alone, replaced whole through a temporary file
// under a lock, so that two tools running at once never lose each other's
// records.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pelvoran {

class AnswerKeyFile {
public:
    /// What becomes of the file after a look at its contents.
    struct Change {
        enum class Kind {
            Keep,     // left as it is
            Write,    // replaced by `contents`
            SetAside, // renamed to answer-keys.damaged (replacing an older one)
        };
        Kind kind = Kind::Keep;
        std::string contents = {};
    };

    virtual ~AnswerKeyFile() = default;

    /// Under the file's lock: hands `decide` the file's contents (nullopt
    /// when there is no file yet) and carries out the change it returns.
    /// False when the file could not be locked, read or changed; `decide`
    /// has then perhaps not run, and the file is as it was.
    virtual bool update(const std::function<Change(const std::optional<std::string>&)>& decide) = 0;
};

/// The user's file: answer-keys in the folder "pelvoran" of the XDG data
/// home ($XDG_DATA_HOME when it is an absolute path, else
/// $HOME/.local/share). Nullptr where the tool keeps no keys.
std::unique_ptr<AnswerKeyFile> userAnswerKeyFile();

/// The file answer-keys in `folder` (made with mode 0700 when missing), or
/// nullptr where the tool keeps no keys.
std::unique_ptr<AnswerKeyFile> answerKeyFileIn(const std::string& folder);

} // namespace pelvoran
