#include "server/store/field_counts.h"
#include "server/store/store_texts.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdexcept>

namespace pelvoran::server {
namespace {

/// A digest context for each thread, made once: a check allocates nothing
/// for its hash.
EVP_MD_CTX* digestContext() {
    thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(
        EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context)
        throw std::runtime_error(store_text::kCannotDigest);
    return context.get();
}

} // namespace

std::string versionLabel(const Agent& agent, std::string_view newest) {
    if (!agent.known())
        return kEarlyLabel;
    const auto number = versionNumber(agent.version);
    const auto highest = versionNumber(newest);
    if (agent.version.size() == 4 && number && *number >= 100 && highest && *number <= *highest)
        return agent.version;
    return kOtherLabel;
}

bool ClientSketch::add(std::uint64_t hash) {
    const std::size_t index = hash >> (64 - kIndexBits);
    // The rest of the bits, with a stop bit so that the run ends by 53.
    const std::uint64_t rest = (hash << kIndexBits) | (std::uint64_t{1} << (kIndexBits - 1));
    const auto rank = static_cast<std::uint8_t>(std::countl_zero(rest) + 1);
    if (rank <= registers_[index])
        return false;
    registers_[index] = rank;
    return true;
}

void ClientSketch::merge(const ClientSketch& other) {
    for (std::size_t i = 0; i < kRegisters; ++i)
        registers_[i] = std::max(registers_[i], other.registers_[i]);
}

double ClientSketch::estimate() const {
    constexpr double m = kRegisters;
    double sum = 0;
    std::size_t zeros = 0;
    for (const std::uint8_t r : registers_) {
        sum += std::ldexp(1.0, -r);
        zeros += r == 0 ? 1 : 0;
    }
    const double raw = 0.7213 / (1 + 1.079 / m) * m * m / sum;
    // Few clients: counting the empty registers is nearer (linear counting).
    if (raw <= 2.5 * m && zeros > 0)
        return m * std::log(m / static_cast<double>(zeros));
    return raw;
}

std::string ClientSketch::bytes() const {
    return std::string(registers_.begin(), registers_.end());
}

std::optional<ClientSketch> ClientSketch::fromBytes(std::string_view bytes) {
    if (bytes.size() != kRegisters)
        return std::nullopt;
    ClientSketch sketch;
    for (std::size_t i = 0; i < kRegisters; ++i) {
        const auto r = static_cast<std::uint8_t>(bytes[i]);
        if (r > 64 - kIndexBits + 1)
            return std::nullopt;
        sketch.registers_[i] = r;
    }
    return sketch;
}

DaySalt randomSalt() {
    DaySalt salt{};
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1)
        throw std::runtime_error(store_text::kNoRandomBytes);
    return salt;
}

std::uint64_t clientHash(const DaySalt& salt, std::string_view network, std::string_view what) {
    EVP_MD_CTX* const context = digestContext();
    // The network by its length: no two (network, what) pairs give the same
    // bytes.
    const auto length = static_cast<unsigned char>(std::min<std::size_t>(network.size(), 255));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context, salt.data(), salt.size()) != 1 ||
        EVP_DigestUpdate(context, &length, 1) != 1 ||
        EVP_DigestUpdate(context, network.data(), length) != 1 ||
        EVP_DigestUpdate(context, what.data(), what.size()) != 1 ||
        EVP_DigestFinal_ex(context, digest, &size) != 1)
        throw std::runtime_error(store_text::kCannotDigest);
    std::uint64_t hash = 0;
    for (int i = 0; i < 8; ++i)
        hash = hash << 8 | digest[i];
    return hash;
}

ChecksPerDay checksPerDay(const FieldCounts& field) {
    ChecksPerDay out;
    for (const auto& [day, counts] : field)
        for (const auto& [key, n] : counts.checks)
            out[day] += n;
    return out;
}

} // namespace pelvoran::server
