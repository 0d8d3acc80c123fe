#pragma once

// Update replies signed by the test key (signed_vectors.h), and forgeries of
// them: what a tool built with that key must not offer.

#include "tests/support/signed_vectors.h"

#include <string>
#include <vector>

namespace pelvoran::test {

/// The reply body: the four fields and the extra ones, joined by "[;]".
inline std::string replyOf(const signed_vectors::SignedRelease& r,
                           const std::vector<std::string>& extra) {
    std::string body = r.fields[0];
    for (int i = 1; i < 4; ++i)
        body += std::string("[;]") + r.fields[i];
    for (const auto& field : extra)
        body += "[;]" + field;
    return body;
}

/// The release as published: its signature in field 4.
inline std::string signedReply(const signed_vectors::SignedRelease& r) {
    return replyOf(r, {r.signature});
}

struct Forgery {
    const char* what;
    std::string body;
};

/// kFixes changed on its way, each a reply the keyed tool treats as none.
inline std::vector<Forgery> forgeries() {
    using namespace signed_vectors;
    const std::string sig = kFixes.signature;
    const auto changed = [&](int field, const char* to) {
        signed_vectors::SignedRelease r = kFixes;
        r.fields[field] = to;
        return replyOf(r, {sig});
    };
    const std::string truncated = sig.substr(0, sig.size() - 3);
    std::string notBase64 = sig;
    notBase64[10] = '+';
    // The last character's lowest bit lies past the 64th byte: the same
    // bytes, written another way.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string spareBits = sig;
    spareBits.back() = alphabet[alphabet.find(sig.back()) ^ 1];
    return {
        {"version changed", changed(0, "1.96")},
        {"address changed", changed(1, "http://127.0.0.2/x")},
        {"date changed", changed(2, "2012-12-31")},
        {"notes changed", changed(3, "Fixez")},
        {"signature of another release", replyOf(kFixes, {kWindowsOffer.signature})},
        {"signature by another key", replyOf(kFixes, {kFixesByAnotherKey})},
        {"signature truncated", replyOf(kFixes, {truncated})},
        {"signature not base64url", replyOf(kFixes, {notBase64})},
        {"signature with spare bits set", replyOf(kFixes, {spareBits})},
        {"signature without its prefix", replyOf(kFixes, {sig.substr(5)})},
        {"no signature", replyOf(kFixes, {})},
        {"signature in field 5", replyOf(kFixes, {"", sig})},
    };
}

} // namespace pelvoran::test
