#include "engine/peers/AddressText.h"

#include <algorithm>
#include <cstring>

namespace kf {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(std::min(text.size(), kMaxDecodedAddress));
    for (size_t i = 0; i < text.size() && out.size() < kMaxDecodedAddress; ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (text.size() - i < 3) {
            break;
        }
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            out.push_back('%');
            continue;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::string EscapeHttpUrl(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte <= 0x20 || byte >= 0x80) {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool IsDottedText(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if ((c < '0' || c > '9') && c != '.') {
            return false;
        }
    }
    return true;
}

uint32_t ParseDottedIp(std::string_view text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return kNoIpAddress;
    }
    uint32_t value = 0;
    size_t pos = 0;
    for (int field = 0; field < 4; ++field) {
        uint32_t number = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            number = number * 10 + static_cast<uint32_t>(text[pos] - '0');
            if (number > 255) {
                return kNoIpAddress;
            }
            ++pos;
        }
        value |= number << (24 - 8 * field);
        if (pos >= text.size() || text[pos] != '.') {
            break;
        }
        ++pos;
    }
    if (value == 0 || value == kNoIpAddress) {
        return kNoIpAddress;
    }
    return NetworkAddressFromHost(value);
}

std::string DottedAddressText(uint32_t network_address) {
    uint8_t bytes[4];
    std::memcpy(bytes, &network_address, 4);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

uint32_t NetworkAddressFromHost(uint32_t host_value) {
    const uint8_t bytes[4] = {
        static_cast<uint8_t>(host_value >> 24), static_cast<uint8_t>(host_value >> 16),
        static_cast<uint8_t>(host_value >> 8), static_cast<uint8_t>(host_value)};
    uint32_t out = 0;
    std::memcpy(&out, bytes, 4);
    return out;
}

uint32_t HostValueFromNetwork(uint32_t network_address) {
    uint8_t bytes[4];
    std::memcpy(bytes, &network_address, 4);
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace kf
