#pragma once

// The publisher's signing key (ECDSA P-256, through OpenSSL's libcrypto) and
// what a release needs once the server holds the public half.

#include "server/release/release.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelvoran::server {

struct SigningKey {
    std::string privatePem; // PKCS#8, for the publisher's file
    std::string publicKey;  // base64url of the point, as PELVORAN_UPDATE_KEY takes it
};

/// A new key pair.
SigningKey createSigningKey();

/// The public key of a private key in PEM. Throws std::runtime_error (in
/// Chinese) when the text is no P-256 private key.
std::string publicKeyOf(const std::string& privatePem);

/// "sig1:" + base64url(r ‖ s) of the release's message (releaseMessage), by
/// the private key in PEM. Throws as publicKeyOf does.
std::string signRelease(const std::string& privatePem, const Release& release);

/// "sig1:" + base64url(r ‖ s) of `message`, by the private key in PEM, as
/// releaseSignatureValid checks it. Throws as publicKeyOf does.
std::string signMessage(const std::string& privatePem, std::string_view message);

/// What an answer's signature covers: the comment's number, its reply key
/// and the answer's text (UTF-8), in that order, the text last.
std::string answerMessage(std::int64_t number, const std::string& replyKey,
                          const std::string& text);

/// What keeps the release from being offered by tools built with
/// `publicKey`: an address that is not https://, a signature missing or not
/// by that key over these very fields (saying so when only the notes' line
/// breaks, CR LF or LF, differ from what was signed). Without a key, only a
/// signature is refused: there is nothing to check it by.
std::vector<ReleaseProblem> signingProblems(const Release& release, const std::string& publicKey);

} // namespace pelvoran::server
