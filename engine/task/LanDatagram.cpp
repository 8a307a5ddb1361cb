#include "engine/task/LanDatagram.h"

#include <algorithm>
#include <cstring>

#include "engine/os/ByteOrder.h"

namespace kf {
namespace {

constexpr size_t kIpOffset = 4;
constexpr size_t kPortOffset = 8;
constexpr size_t kKindOffset = 12;
constexpr size_t kInfoHashOffset = 16;
constexpr size_t kPeerIdOffset = 36;

}  // namespace

LanDatagram::Bytes LanDatagram::Encode() const {
    Bytes out{};
    std::memcpy(out.data() + kIpOffset, &ip, sizeof ip);
    StoreBe16(out.data() + kPortOffset, static_cast<uint16_t>(port));
    StoreLe32(out.data() + kKindOffset, reply ? 1 : 0);
    std::copy(info_hash.begin(), info_hash.end(), out.begin() + kInfoHashOffset);
    std::copy(peer_id.begin(), peer_id.end(), out.begin() + kPeerIdOffset);
    return out;
}

std::optional<LanDatagram> LanDatagram::Decode(std::span<const uint8_t> bytes) {
    if (bytes.size() < kLength || LoadLe32(bytes.data()) != 0) {
        return std::nullopt;
    }
    const uint32_t kind = LoadLe32(bytes.data() + kKindOffset);
    if (kind > 1) {
        return std::nullopt;
    }
    LanDatagram datagram;
    std::memcpy(&datagram.ip, bytes.data() + kIpOffset, sizeof datagram.ip);
    datagram.port = LoadBe16(bytes.data() + kPortOffset);
    datagram.reply = kind == 1;
    std::copy_n(bytes.begin() + kInfoHashOffset, datagram.info_hash.size(),
                datagram.info_hash.begin());
    std::copy_n(bytes.begin() + kPeerIdOffset, datagram.peer_id.size(), datagram.peer_id.begin());
    return datagram;
}

}  // namespace kf
