#pragma once

// The publisher's signing key as files: the private key's own file, and the
// halves the state directory keeps (state_dir.h names them).

#include <optional>
#include <string>
#include <vector>

namespace pelvoran::server {

/// The public key the state directory `stateDir` holds; empty when it holds
/// none. Throws std::runtime_error when the file is there but unreadable or
/// holds no key.
std::string statePublicKey(const std::string& stateDir);

/// The private key the state directory holds, when it holds one.
std::optional<std::string> statePrivateKey(const std::string& stateDir);

/// A private key file, refused (UsageError naming `option`) when it cannot
/// be read or is no key of ours.
std::string readPrivateKeyFile(const std::string& path, const std::string& option);

/// `key create [FILE] [--state DIR]`.
int keyCommand(const std::vector<std::string>& args);

} // namespace pelvoran::server
