#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kf {

// The 56-byte datagram of LAN discovery: a task asks the local network who shares its info-hash
// (a query) or answers such a question (a reply), naming its listening address and peer id.
//
//   0  4  zero            4  4  listening IPv4, network order   8  2  TCP port, network order
//  10  2  zero           12  4  0 query / 1 reply, little-endian
//  16 20  info-hash      36 20  peer id
//
// A pure codec: bytes in, record out. Received bytes are untrusted; Decode reads no further than
// kLength and refuses what is not one of the two kinds.
struct LanDatagram {
    using Hash20 = std::array<uint8_t, 20>;
    using Bytes = std::array<uint8_t, 56>;

    static constexpr size_t kLength = 56;
    // Where the discovery happens (network order for the group) and the port on both sides.
    static constexpr uint32_t kGroupHostOrder = 0xE9411F4Eu;  // 233.65.31.78
    static constexpr int32_t kPort = 31576;

    uint32_t ip = 0;  // network order
    int32_t port = 0;
    bool reply = false;
    Hash20 info_hash{};
    Hash20 peer_id{};

    Bytes Encode() const;
    // None for fewer than kLength bytes, a non-zero first word, or a kind other than 0 and 1.
    // Bytes beyond kLength are ignored.
    static std::optional<LanDatagram> Decode(std::span<const uint8_t> bytes);
};

}  // namespace kf
