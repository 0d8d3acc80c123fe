#include "server/release/release_reply.h"

#include "server/release/release_texts.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <cstdint>
#include <stdexcept>

namespace pelvoran::server {
namespace {

struct MacFree {
    void operator()(EVP_MAC* m) const { EVP_MAC_free(m); }
    void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};

/// This thread's HMAC-SHA-256, fetched once, and the key it was last set up
/// with: a check in a staged rollout looks nothing up, and sets the key up
/// again only when the release changed.
struct ThreadMac {
    std::unique_ptr<EVP_MAC, MacFree> mac{EVP_MAC_fetch(nullptr, "HMAC", nullptr)};
    std::unique_ptr<EVP_MAC_CTX, MacFree> context{mac ? EVP_MAC_CTX_new(mac.get()) : nullptr};
    std::string key;
    bool keyed = false;

    /// Ready for a new message under `k`; false when OpenSSL failed.
    bool start(std::string_view k) {
        if (!context)
            return false;
        if (keyed && key == k) // the same key: set up once, reused
            return EVP_MAC_init(context.get(), nullptr, 0, nullptr) == 1;
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
        keyed = EVP_MAC_init(context.get(), reinterpret_cast<const unsigned char*>(k.data()),
                             k.size(), params) == 1;
        key = k;
        return keyed;
    }
};

std::shared_ptr<const std::string> bodyOf(const std::optional<Release>& r) {
    static const auto empty = std::make_shared<const std::string>();
    return r ? std::make_shared<const std::string>(replyBody(*r)) : empty;
}

} // namespace

std::string newRolloutKey() {
    std::string key(kRolloutKeySize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size())) != 1)
        throw std::runtime_error(release_text::kNoRandom);
    return key;
}

std::optional<int> parsePercentage(std::string_view text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    int n = 0;
    for (const char c : text)
        n = n * 10 + (c - '0');
    return n <= 100 ? std::optional(n) : std::nullopt;
}

unsigned rolloutDraw(std::string_view key, std::string_view network) {
    thread_local ThreadMac mac;
    unsigned char out[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    if (!mac.start(key) ||
        EVP_MAC_update(mac.context.get(), reinterpret_cast<const unsigned char*>(network.data()),
                       network.size()) != 1 ||
        EVP_MAC_final(mac.context.get(), out, &length, sizeof out) != 1 || length < 8)
        return 99; // outside every rollout short of 100 %
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i)
        n = n << 8 | out[i];
    return static_cast<unsigned>(n % 100);
}

std::optional<Release> newestOut(const PlatformOffer& offer) {
    if (!offer.live)
        return std::nullopt;
    return offer.rollout > 0 ? offer.live : offer.earlier;
}

ReleaseReply::ReleaseReply() {
    for (const Platform platform : {Platform::Windows, Platform::Linux})
        set(platform, {});
}

ReleaseReply::Answer ReleaseReply::choose(const Agent& agent, std::string_view network) const {
    const auto all = sides();
    const Side& side = (*all)[agent.platform == Platform::Linux ? 1 : 0];
    const bool inside = side.rollout >= 100 ||
                        (!network.empty() && side.rollout > 0 &&
                         rolloutDraw(side.key, network) < static_cast<unsigned>(side.rollout));
    const std::string& version = inside ? side.liveVersion : side.earlierVersion;
    // A tool already on the version (or past it) is answered with it, but
    // that is no offer: it shows nothing.
    return {inside ? side.live : side.earlier, agent.platform,
            offersNewer(agent, version) ? version : std::string()};
}

void ReleaseReply::set(Platform platform, const PlatformOffer& offer) {
    Side side;
    side.live = bodyOf(offer.live);
    side.liveVersion = offer.live ? toUtf8(offer.live->version) : "";
    side.rollout = offer.live ? offer.rollout : 100;
    side.key = offer.key;
    // Outside the rollout: the earlier release, or nothing when none is.
    side.earlier = bodyOf(offer.live ? offer.earlier : std::nullopt);
    side.earlierVersion = offer.live && offer.earlier ? toUtf8(offer.earlier->version) : "";
    const std::lock_guard lock(mutex_);
    auto sides = sides_ ? std::make_shared<Sides>(*sides_) : std::make_shared<Sides>();
    (*sides)[platform == Platform::Linux ? 1 : 0] = std::move(side);
    sides_ = std::move(sides);
}

} // namespace pelvoran::server
