#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kf {

// Text helpers of source addresses. Pure functions, any thread.

inline constexpr uint32_t kNoIpAddress = 0xFFFFFFFFu;  // "not known" / invalid IPv4 address
inline constexpr size_t kMaxDecodedAddress = 4096;     // PercentDecode output limit

// Each "%" followed by two hexadecimal digits becomes that byte; a "%" followed by anything else
// stays as it is. A "%" with fewer than two characters after it ends the text (the rest is
// dropped), and the output stops at kMaxDecodedAddress bytes.
std::string PercentDecode(std::string_view text);

// Makes an HTTP address safe to send: every byte <= 0x20 or >= 0x80 becomes "%" and two lower-case
// hexadecimal digits; every other byte, "%" included, is kept, so escaped text stays unchanged.
// (The system code page is UTF-8, so the code page step of the conversion changes nothing.)
std::string EscapeHttpUrl(std::string_view text);

// True when `text` is not empty and made of decimal digits and dots only.
bool IsDottedText(std::string_view text);

// Dotted IPv4 text to an address in network byte order: up to four decimal fields separated by
// ".", each read by its leading digits; missing fields leave low bits zero ("10.1" is 10.1.0.0).
// A field above 255, a text that does not start with a digit, or a result of 0 or all-ones
// answers kNoIpAddress.
uint32_t ParseDottedIp(std::string_view text);

// "a.b.c.d" for an address in network byte order.
std::string DottedAddressText(uint32_t network_address);

// Network byte order <-> host order value, without the socket headers.
uint32_t NetworkAddressFromHost(uint32_t host_value);
uint32_t HostValueFromNetwork(uint32_t network_address);

// Case-insensitive (ASCII) comparisons.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

}  // namespace kf
