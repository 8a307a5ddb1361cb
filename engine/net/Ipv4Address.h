#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kf {

// IPv4 address helpers. Addresses are 32-bit values holding the four bytes in network order (as
// a socket address carries them); all-ones (kNoAddress) means "none". Pure functions.

inline constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

// Neither 0 nor all-ones.
inline bool IsValidAddress(uint32_t address) {
    return address != 0 && address != kNoAddress;
}

// A TCP or UDP port one can send to: 1..65535 (wire fields are often wider).
inline bool IsValidPort(int64_t port) {
    return port >= 1 && port <= 65535;
}

// The dotted address rule: up to four decimal fields separated by "."; each field is read as its
// leading digits (none: 0); the first field is the most significant byte and missing fields leave
// the low bytes zero. A field above 255, a fifth field, or a result of 0 gives kNoAddress.
uint32_t ParseDottedAddress(std::string_view text);

// True for a non-empty text of digits and dots only.
bool IsDigitsAndDots(std::string_view text);

// A local address setting: empty or "0.0.0.0" gives 0 (every address, the system's choice), a
// dotted address that is valid gives it, anything else kNoAddress.
uint32_t ParseLocalAddressSetting(std::string_view text);
// "a.b.c.d".
std::string DottedText(uint32_t address);

// Host-order value (first byte most significant) to network order and back.
uint32_t ToNetworkOrder(uint32_t host_order);
uint32_t ToHostOrder(uint32_t network_order);

// First byte 0..6, 10 or 127; 192.168/16; 169.254/16; 172.16/12.
bool IsPrivateAddress(uint32_t address);

// The machine's own address out of its address list: the last valid, non-private one; else the
// last one listed; kNoAddress for an empty list.
uint32_t ChooseLocalAddress(std::span<const uint32_t> addresses);

}  // namespace kf
