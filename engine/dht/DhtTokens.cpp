#include "engine/dht/DhtTokens.h"

#include <sys/random.h>

#include <cstring>

#include "engine/content/Sha1State.h"

namespace kf {
namespace {

void FillRandom(uint8_t* data, size_t size, int64_t now) {
    size_t filled = 0;
    // getrandom only fails before the pool is seeded or on a signal; a few tries are plenty.
    for (int attempt = 0; attempt < 8 && filled < size; ++attempt) {
        const ssize_t got = ::getrandom(data + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        }
    }
    // The time makes two secrets differ even if the random source failed.
    const auto stamp = static_cast<uint32_t>(now);
    std::memcpy(data + size - sizeof(stamp), &stamp, sizeof(stamp));
}

}  // namespace

DhtTokens::DhtTokens() {
    FillRandom(current_.data(), current_.size(), 0);
}

bool DhtTokens::Rotate(int64_t now) {
    if (checked_at_ >= 0 && now - checked_at_ < kCheckEvery) {
        return false;
    }
    checked_at_ = now;
    if (made_at_ >= 0 && now - made_at_ <= kSecretLife) {
        return false;
    }
    previous_ = current_;
    have_previous_ = made_at_ >= 0;
    FillRandom(current_.data(), current_.size(), now);
    made_at_ = now;
    return true;
}

std::string DhtTokens::Compute(const Secret& secret, uint32_t ip, uint16_t port) {
    uint8_t input[28];
    std::memcpy(input, secret.data(), secret.size());
    std::memcpy(input + 20, &ip, 4);
    input[24] = static_cast<uint8_t>(port & 0xff);  // little-endian, as the token was defined
    input[25] = static_cast<uint8_t>(port >> 8);
    input[26] = '1';
    input[27] = '1';
    const Sha1Digest digest = Sha1State::Of(input);
    return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

std::string DhtTokens::TokenFor(uint32_t ip, uint16_t port) const {
    return Compute(current_, ip, port);
}

bool DhtTokens::IsValid(std::string_view token, uint32_t ip, uint16_t port) const {
    if (token.size() != kTokenSize) {
        return false;
    }
    return token == Compute(current_, ip, port) ||
           (have_previous_ && token == Compute(previous_, ip, port));
}

}  // namespace kf
