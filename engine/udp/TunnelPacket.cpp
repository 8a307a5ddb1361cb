#include "engine/udp/TunnelPacket.h"

#include <algorithm>

#include "engine/os/ByteOrder.h"

namespace kf {

namespace {

// Offsets inside the 32 type-specific bytes.
void Put32(TunnelPacket::Body& body, size_t offset, uint32_t value) {
    StoreBe32(body.data() + offset - TunnelPacket::kBodyOffset, value);
}

void PutIdentity(TunnelPacket::Body& body, size_t offset, const TunnelPacket::Identity& identity) {
    std::copy(identity.begin(), identity.end(),
              body.begin() + (offset - TunnelPacket::kBodyOffset));
}

uint32_t Get32(std::span<const uint8_t> datagram, size_t offset) {
    return LoadBe32(datagram.data() + offset);
}

TunnelPacket::Identity GetIdentity(std::span<const uint8_t> datagram, size_t offset) {
    TunnelPacket::Identity identity{};
    std::copy_n(datagram.begin() + static_cast<std::ptrdiff_t>(offset), identity.size(),
                identity.begin());
    return identity;
}

bool HasHeader(std::span<const uint8_t> datagram) {
    return datagram.size() >= TunnelPacket::kPayloadOffset;
}

}  // namespace

std::vector<uint8_t> TunnelPacket::Build(const Header& header, const Body& body,
                                         std::span<const uint8_t> payload) {
    payload = payload.first(std::min(payload.size(), kMaxPayload));
    std::vector<uint8_t> out(kPayloadOffset + payload.size(), 0);
    StoreBe32(out.data(), static_cast<uint32_t>(out.size()));
    StoreBe32(out.data() + 8, header.handle);
    StoreBe32(out.data() + 12, header.control);
    StoreBe32(out.data() + 16, header.type);
    std::copy(header.receiver.begin(), header.receiver.end(), out.begin() + 20);
    std::copy(body.begin(), body.end(), out.begin() + kBodyOffset);
    std::copy(payload.begin(), payload.end(), out.begin() + kPayloadOffset);
    StoreBe32(out.data() + 4, UdpWire::SessionChecksum(out, header.handle));
    return out;
}

TunnelPacket::Body TunnelPacket::SynBody(const Syn& value) {
    Body body{};
    Put32(body, 32, value.addressed_port);
    PutIdentity(body, 36, value.connector);
    Put32(body, 48, value.service_port);
    Put32(body, 60, value.nonce);
    return body;
}

TunnelPacket::Body TunnelPacket::SynAckBody(const SynAck& value) {
    Body body{};
    Put32(body, 32, value.syn_port);
    PutIdentity(body, 36, value.connector);
    Put32(body, 48, value.service_port);
    Put32(body, 56, value.nonce);
    Put32(body, 60, value.connector_handle);
    return body;
}

TunnelPacket::Body TunnelPacket::HandshakeAckBody(uint32_t nonce) {
    Body body{};
    Put32(body, 32, nonce);
    return body;
}

TunnelPacket::Body TunnelPacket::DataBody(uint32_t sequence, size_t payload_length) {
    Body body{};
    Put32(body, 32, static_cast<uint32_t>(std::min(payload_length, kMaxPayload)));
    Put32(body, 36, sequence);
    return body;
}

TunnelPacket::Body TunnelPacket::WindowAckBody(const WindowAck& value) {
    Body body{};
    Put32(body, 32, value.first_unacked);
    Put32(body, 36, value.next_expected);
    std::copy(value.held.begin(), value.held.end(), body.begin() + (40 - kBodyOffset));
    return body;
}

TunnelPacket::Body TunnelPacket::KeepAliveBody(uint32_t service_port) {
    Body body{};
    Put32(body, 32, service_port);
    return body;
}

TunnelPacket::Body TunnelPacket::CloseBody(const Close& value) {
    Body body{};
    Put32(body, 32, value.service_port);
    Put32(body, 36, value.handle);
    Put32(body, 40, value.nonce);
    return body;
}

TunnelPacket::Body TunnelPacket::SingleAckBody(const SingleAck& value) {
    Body body{};
    Put32(body, 32, value.length);
    Put32(body, 36, value.sequence);
    return body;
}

std::optional<TunnelPacket::Body> TunnelPacket::BodyOf(std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    Body body{};
    std::copy_n(datagram.begin() + kBodyOffset, body.size(), body.begin());
    return body;
}

std::optional<TunnelPacket::Syn> TunnelPacket::ParseSyn(std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    return Syn{Get32(datagram, 32), GetIdentity(datagram, 36), Get32(datagram, 48),
               Get32(datagram, 60)};
}

std::optional<TunnelPacket::SynAck> TunnelPacket::ParseSynAck(std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    return SynAck{Get32(datagram, 32), GetIdentity(datagram, 36), Get32(datagram, 48),
                  Get32(datagram, 56), Get32(datagram, 60)};
}

std::optional<uint32_t> TunnelPacket::ParseHandshakeAck(std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    return Get32(datagram, 32);
}

std::optional<TunnelPacket::Data> TunnelPacket::ParseData(std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    const uint32_t length = Get32(datagram, 32);
    if (length != datagram.size() - kPayloadOffset) {
        return std::nullopt;
    }
    return Data{Get32(datagram, 36), datagram.subspan(kPayloadOffset)};
}

std::optional<TunnelPacket::WindowAck> TunnelPacket::ParseWindowAck(
    std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    WindowAck value;
    value.first_unacked = Get32(datagram, 32);
    value.next_expected = Get32(datagram, 36);
    std::copy_n(datagram.begin() + 40, value.held.size(), value.held.begin());
    return value;
}

std::optional<uint32_t> TunnelPacket::ParseKeepAlive(std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    return Get32(datagram, 32);
}

std::optional<TunnelPacket::Close> TunnelPacket::ParseClose(std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    return Close{Get32(datagram, 32), Get32(datagram, 36), Get32(datagram, 40)};
}

std::optional<TunnelPacket::SingleAck> TunnelPacket::ParseSingleAck(
    std::span<const uint8_t> datagram) {
    if (!HasHeader(datagram)) {
        return std::nullopt;
    }
    return SingleAck{Get32(datagram, 32), Get32(datagram, 36)};
}

}  // namespace kf
