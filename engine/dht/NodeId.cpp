#include "engine/dht/NodeId.h"

#include <algorithm>
#include <cstring>

namespace kf {

bool IsZeroId(const NodeId& id) {
    return std::all_of(id.begin(), id.end(), [](uint8_t byte) { return byte == 0; });
}

bool CloserTo(const NodeId& target, const NodeId& a, const NodeId& b) {
    for (size_t i = 0; i < target.size(); ++i) {
        const uint8_t da = a[i] ^ target[i];
        const uint8_t db = b[i] ^ target[i];
        if (da != db) {
            return da < db;
        }
    }
    return false;
}

NodeId AddIds(const NodeId& a, const NodeId& b) {
    NodeId sum{};
    uint32_t carry = 0;
    for (size_t i = a.size(); i-- > 0;) {
        const uint32_t value = uint32_t{a[i]} + b[i] + carry;
        sum[i] = static_cast<uint8_t>(value);
        carry = value >> 8;
    }
    return sum;
}

NodeId SubtractIds(const NodeId& a, const NodeId& b) {
    NodeId difference{};
    int32_t borrow = 0;
    for (size_t i = a.size(); i-- > 0;) {
        int32_t value = int32_t{a[i]} - b[i] - borrow;
        borrow = value < 0 ? 1 : 0;
        difference[i] = static_cast<uint8_t>(value + (borrow << 8));
    }
    return difference;
}

NodeId HalveId(const NodeId& a) {
    NodeId half{};
    uint8_t carry = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        half[i] = static_cast<uint8_t>((a[i] >> 1) | carry);
        carry = static_cast<uint8_t>((a[i] & 1) << 7);
    }
    return half;
}

NodeId IdFromNumber(uint64_t low) {
    NodeId id{};
    for (size_t i = 0; i < 8; ++i) {
        id[id.size() - 1 - i] = static_cast<uint8_t>(low >> (8 * i));
    }
    return id;
}

NodeId IdFromBytes(std::span<const uint8_t> bytes) {
    NodeId id{};
    if (bytes.size() == id.size()) {
        std::memcpy(id.data(), bytes.data(), id.size());
    }
    return id;
}

NodeId IdFromBytes(std::string_view bytes) {
    return IdFromBytes(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::string_view IdBytes(const NodeId& id) {
    return {reinterpret_cast<const char*>(id.data()), id.size()};
}

}  // namespace kf
