#include "engine/dht/DhtNode.h"

#include <cstring>

namespace kf {

void DhtNode::AppendCompact(std::string& out) const {
    out.append(IdBytes(id));
    char address[6];
    std::memcpy(address, &ip, 4);
    address[4] = static_cast<char>(port >> 8);
    address[5] = static_cast<char>(port & 0xff);
    out.append(address, sizeof(address));
}

DhtNode DhtNode::FromCompact(std::span<const uint8_t, kCompactSize> bytes) {
    DhtNode node;
    std::memcpy(node.id.data(), bytes.data(), node.id.size());
    std::memcpy(&node.ip, bytes.data() + 20, 4);
    node.port = static_cast<uint16_t>((bytes[24] << 8) | bytes[25]);
    return node;
}

void DhtNode::ReadCompactList(std::string_view bytes, size_t limit, std::vector<DhtNode>& out) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t offset = 0; offset + kCompactSize <= bytes.size() && limit > 0;
         offset += kCompactSize, --limit) {
        out.push_back(
            FromCompact(std::span<const uint8_t, kCompactSize>(data + offset, kCompactSize)));
    }
}

}  // namespace kf
