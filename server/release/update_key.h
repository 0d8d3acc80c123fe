#pragma once

// The publisher's signing key as files: the private key's own file, and the
// halves the state directory keeps (state_dir.h names them).

#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// The fingerprint of a public key (the key line, as PELVORAN_UPDATE_KEY
/// takes it): the first 16 hex digits of the SHA-256 of that line. Anyone
/// with the line alone can work it out (`printf %s KEY | sha256sum`), and
/// 64 bits tell a publisher's keys apart with room to spare; where a key
/// matters, the whole key is compared.
std::string keyFingerprint(const std::string& publicKey);

/// The key line of a public key file's text, without its line break;
/// nullopt when it holds no valid key.
std::optional<std::string> publicKeyIn(std::string text);

/// The public key the state directory `stateDir` holds; empty when it holds
/// none. Throws std::runtime_error when the file is there but unreadable or
/// holds no key.
std::string statePublicKey(const std::string& stateDir);

/// The answer key the state directory `stateDir` holds (kAnswerKeyFile, a
/// private key in PEM), made there when missing; with `replacement`, that
/// key written in its place (the one every server on the database shares).
/// Throws std::runtime_error when it cannot be read, made or written, or
/// holds no key.
std::string stateAnswerKey(const std::string& stateDir, const std::string& replacement = "");

/// The private key the state directory holds, when it holds one.
std::optional<std::string> statePrivateKey(const std::string& stateDir);

} // namespace pelvoran::server
