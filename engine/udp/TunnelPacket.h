#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/udp/UdpWire.h"

namespace kf {

// The packets of a tunnelled session without sockets: a 64-byte header (length, checksum, handle,
// control sequence, type, the receiver's identity, 32 type-specific bytes) and, for DATA, the
// payload. Builders write the length and the checksum; parsers read the type-specific bytes of a
// datagram whose header UdpWire::ParseSessionHeader has already accepted. Stateless; any thread.
//
// Trust: parsers take untrusted bytes, never read past their span and answer nothing for a
// datagram shorter than the header or, for DATA, one whose length does not match its payload.
class TunnelPacket {
  public:
    using Identity = UdpWire::Identity;
    using Body = std::array<uint8_t, 32>;

    static constexpr uint32_t kSyn = 1;
    static constexpr uint32_t kSynAck = 65537;
    static constexpr uint32_t kHandshakeAck = 0x80010001u;
    static constexpr uint32_t kData = 2;
    static constexpr uint32_t kWindowAck = 16;
    static constexpr uint32_t kKeepAlive = 65538;
    static constexpr uint32_t kClose = 0x80000000u;
    static constexpr uint32_t kReject = 3;
    static constexpr uint32_t kSingleAck = 0x80000002u;

    static constexpr size_t kBodyOffset = 32;
    static constexpr size_t kPayloadOffset = UdpWire::kHeaderLength;
    static constexpr size_t kWindow = 12;
    static constexpr size_t kMaxPayload = UdpWire::kMaxDatagram - kPayloadOffset;

    struct Header {
        uint32_t handle = 0;
        uint32_t control = 0;
        uint32_t type = 0;
        Identity receiver{};
    };
    struct Syn {
        uint32_t addressed_port = 0;
        Identity connector{};
        uint32_t service_port = 0;
        uint32_t nonce = 0;
    };
    struct SynAck {
        uint32_t syn_port = 0;
        Identity connector{};
        uint32_t service_port = 0;
        uint32_t nonce = 0;
        uint32_t connector_handle = 0;
    };
    struct Data {
        uint32_t sequence = 0;
        std::span<const uint8_t> payload;
    };
    struct WindowAck {
        uint32_t first_unacked = 0;
        uint32_t next_expected = 0;
        std::array<uint8_t, kWindow> held{};
    };
    struct Close {
        uint32_t service_port = 0;
        uint32_t handle = 0;
        uint32_t nonce = 0;
    };
    struct SingleAck {
        uint32_t length = 0;
        uint32_t sequence = 0;
    };

    // One whole packet; `payload` at most kMaxPayload bytes (cut otherwise).
    static std::vector<uint8_t> Build(const Header& header, const Body& body,
                                      std::span<const uint8_t> payload = {});

    static Body SynBody(const Syn& value);
    static Body SynAckBody(const SynAck& value);
    static Body HandshakeAckBody(uint32_t nonce);
    static Body DataBody(uint32_t sequence, size_t payload_length);
    static Body WindowAckBody(const WindowAck& value);
    static Body KeepAliveBody(uint32_t service_port);
    static Body CloseBody(const Close& value);
    static Body SingleAckBody(const SingleAck& value);

    // Bytes 32-63 as they are (a reject copies the SYN's).
    static std::optional<Body> BodyOf(std::span<const uint8_t> datagram);
    static std::optional<Syn> ParseSyn(std::span<const uint8_t> datagram);
    static std::optional<SynAck> ParseSynAck(std::span<const uint8_t> datagram);
    static std::optional<uint32_t> ParseHandshakeAck(std::span<const uint8_t> datagram);
    // The payload is a view into `datagram`.
    static std::optional<Data> ParseData(std::span<const uint8_t> datagram);
    static std::optional<WindowAck> ParseWindowAck(std::span<const uint8_t> datagram);
    static std::optional<uint32_t> ParseKeepAlive(std::span<const uint8_t> datagram);
    static std::optional<Close> ParseClose(std::span<const uint8_t> datagram);
    static std::optional<SingleAck> ParseSingleAck(std::span<const uint8_t> datagram);
};

}  // namespace kf
