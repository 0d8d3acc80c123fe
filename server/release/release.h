#pragma once

#include "platform/text.h"

#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// A published release, as the update check's reply carries it.
struct Release {
    Text version; // two decimals after a ".", e.g. "1.06"
    Text address; // the download address
    Text date;    // the release date, free text
    Text notes;   // the update notes, free text
    /// "sig1:..." by the publisher's key (release_signing.h), or empty:
    /// unsigned. Kept with the release, so that it is served as published.
    std::string signature = {};

    bool operator==(const Release&) const = default;
};

enum class ReleaseField { Version, Address, Date, Notes, Signature };

/// Why a release cannot be published, and which field is at fault.
struct ReleaseProblem {
    ReleaseField field;
    Text message; // for the publisher, in Chinese, without the field's name
};

/// The first version of the tool in the field (a build setting): a release
/// that is not above it is offered by no tool.
inline constexpr char kFirstFieldVersion[] = PELVORAN_FIRST_FIELD_VERSION;

/// Refuses what the desktop tool would mishandle, by the tool's own rules: a
/// version that is not a decimal number above kFirstFieldVersion (whatever
/// this server's own version), that begins with a needless "0" or that has
/// not exactly two decimals ("1.6" and "1.06" read alike to a person, not to
/// the tool's numeric order), an address the tool would not open or that
/// carries user information before its host, "[;]", control characters (the
/// notes may hold line breaks), bidirectional controls or other format
/// characters (U+200B and the rest of Unicode's Cf: text that does not show)
/// in a field, and notes that the tool's offer would cut.
std::optional<ReleaseProblem> checkRelease(const Release& release);

/// Every field checkRelease would refuse, each once with its first problem,
/// in the order of the fields.
std::vector<ReleaseProblem> releaseProblems(const Release& release);

/// The notes with each CR LF and each lone CR as one LF: how they are signed,
/// checked and kept, whether a browser's form (CR LF) or the command line
/// brought them.
Text lfLineBreaks(TextView notes);

/// When `next` is lower than the release `published` now: what the publisher
/// should know of such a rollback (tools already on the higher version are
/// not offered it).
std::optional<Text> rollbackNotice(const Release& next, const std::optional<Release>& published);

/// The body of the update check's reply: the four fields joined by "[;]",
/// each escaped so that the tool's unescaping gives it back exactly (ASCII as
/// it is, "%" as "%25", every other UTF-16 unit as "%uXXXX"), then the
/// signature, when there is one, as a fifth field (base64url needs no
/// escaping; tools without a key ignore it). Always ASCII.
std::string replyBody(const Release& release);

/// One field escaped as replyBody escapes it.
std::string escapeReplyField(TextView field);

} // namespace pelvoran::server
