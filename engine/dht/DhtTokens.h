#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kf {

// The write tokens this node hands out: SHA-1 over a secret, the querier's IPv4 address and port
// and "11". Two secrets live at a time, so a token stays valid across one rotation; secrets come
// from the system's random source and never leave the process.
//
// Threads: not locked; the routing table holds it under its lock. Times are engine seconds.
class DhtTokens {
  public:
    static constexpr int64_t kCheckEvery = 180;
    static constexpr int64_t kSecretLife = 300;
    static constexpr size_t kTokenSize = 20;

    DhtTokens();
    // At most once every kCheckEvery seconds: a secret older than kSecretLife (or the first one)
    // becomes the previous one and a new one is made. Answers whether it rotated.
    bool Rotate(int64_t now);
    std::string TokenFor(uint32_t ip, uint16_t port) const;
    bool IsValid(std::string_view token, uint32_t ip, uint16_t port) const;

  private:
    using Secret = std::array<uint8_t, 20>;
    static std::string Compute(const Secret& secret, uint32_t ip, uint16_t port);
    Secret current_{};
    Secret previous_{};
    bool have_previous_ = false;
    int64_t made_at_ = -1;
    int64_t checked_at_ = -1;
};

}  // namespace kf
