#include "engine/net/Ipv4Address.h"

#include <arpa/inet.h>

namespace kf {

uint32_t ParseDottedAddress(std::string_view text) {
    uint32_t value = 0;
    int field = 0;
    size_t index = 0;
    while (true) {
        if (field == 4) {
            return kNoAddress;
        }
        uint32_t part = 0;
        while (index < text.size() && text[index] >= '0' && text[index] <= '9') {
            part = part * 10 + static_cast<uint32_t>(text[index] - '0');
            if (part > 255) {
                return kNoAddress;
            }
            ++index;
        }
        value |= part << (24 - 8 * field);
        ++field;
        const size_t dot = text.find('.', index);
        if (dot == std::string_view::npos) {
            break;
        }
        index = dot + 1;
    }
    return value == 0 ? kNoAddress : ToNetworkOrder(value);
}

bool IsDigitsAndDots(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c != '.' && (c < '0' || c > '9')) {
            return false;
        }
    }
    return true;
}

uint32_t ParseLocalAddressSetting(std::string_view text) {
    if (text.empty() || text == "0.0.0.0") {
        return 0;
    }
    const uint32_t address = IsDigitsAndDots(text) ? ParseDottedAddress(text) : kNoAddress;
    return IsValidAddress(address) ? address : kNoAddress;
}

std::string DottedText(uint32_t address) {
    const uint32_t host = ToHostOrder(address);
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
           std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
}

uint32_t ToNetworkOrder(uint32_t host_order) {
    return htonl(host_order);
}

uint32_t ToHostOrder(uint32_t network_order) {
    return ntohl(network_order);
}

bool IsPrivateAddress(uint32_t address) {
    const uint32_t host = ToHostOrder(address);
    const uint32_t first = host >> 24;
    const uint32_t second = (host >> 16) & 0xFF;
    return first <= 6 || first == 10 || first == 127 || (first == 192 && second == 168) ||
           (first == 169 && second == 254) || (first == 172 && second >= 16 && second <= 31);
}

uint32_t ChooseLocalAddress(std::span<const uint32_t> addresses) {
    if (addresses.empty()) {
        return kNoAddress;
    }
    for (size_t i = addresses.size(); i-- > 0;) {
        if (IsValidAddress(addresses[i]) && !IsPrivateAddress(addresses[i])) {
            return addresses[i];
        }
    }
    return addresses.back();
}

}  // namespace kf
