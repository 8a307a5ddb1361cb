#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kf {

// Text helpers of source addresses (the IPv4 helpers are in engine/net/Ipv4Address.h). Pure
// functions, any thread.

inline constexpr size_t kMaxDecodedAddress = 4096;  // PercentDecode output limit

// Each "%" followed by two hexadecimal digits becomes that byte; a "%" followed by anything else
// stays as it is. A "%" with fewer than two characters after it ends the text (the rest is
// dropped), and the output stops at kMaxDecodedAddress bytes.
std::string PercentDecode(std::string_view text);

// Makes an HTTP address safe to send: every byte <= 0x20 or >= 0x80 becomes "%" and two lower-case
// hexadecimal digits; every other byte, "%" included, is kept, so escaped text stays unchanged.
// (The system code page is UTF-8, so the code page step of the conversion changes nothing.)
std::string EscapeHttpUrl(std::string_view text);

// Case-insensitive (ASCII) comparisons.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

}  // namespace kf
