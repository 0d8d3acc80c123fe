#include "server/release/release_reply.h"

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

/// This thread's HMAC-SHA-256, fetched once: a check in a staged rollout
/// looks nothing up.
EVP_MAC_CTX* threadMac() {
    thread_local const std::unique_ptr<EVP_MAC, MacFree> mac(
        EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    thread_local const std::unique_ptr<EVP_MAC_CTX, MacFree> context(
        mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    return context.get();
}

std::shared_ptr<const std::string> bodyOf(const std::optional<Release>& r) {
    static const auto empty = std::make_shared<const std::string>();
    return r ? std::make_shared<const std::string>(replyBody(*r)) : empty;
}

} // namespace

std::string newRolloutKey() {
    std::string key(kRolloutKeySize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size())) != 1)
        throw std::runtime_error("无法生成随机数（OpenSSL RAND_bytes）");
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
    EVP_MAC_CTX* const mac = threadMac();
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_END};
    unsigned char out[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    if (!mac ||
        EVP_MAC_init(mac, reinterpret_cast<const unsigned char*>(key.data()), key.size(), params) !=
            1 ||
        EVP_MAC_update(mac, reinterpret_cast<const unsigned char*>(network.data()),
                       network.size()) != 1 ||
        EVP_MAC_final(mac, out, &length, sizeof out) != 1 || length < 8)
        return 99; // outside every rollout short of 100 %
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i)
        n = n << 8 | out[i];
    return static_cast<unsigned>(n % 100);
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
    if (inside)
        return {side.live, agent.platform, side.liveVersion};
    return {side.earlier, agent.platform, side.earlierVersion};
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
