#include "engine/udp/UdpWire.h"

#include <algorithm>
#include <cstring>

#include "engine/base/Adler32.h"
#include "engine/os/ByteOrder.h"

namespace kf {

namespace {

constexpr std::array<uint8_t, 4> kIdentityMark = {'U', 'D', 'P', 0x30};

void StoreIp(uint8_t* out, uint32_t ip) {
    std::memcpy(out, &ip, 4);
}

uint32_t LoadIp(const uint8_t* in) {
    uint32_t ip = 0;
    std::memcpy(&ip, in, 4);
    return ip;
}

bool AllZero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == 0; });
}

UdpWire::Identity LoadIdentity(const uint8_t* in) {
    UdpWire::Identity identity{};
    std::copy_n(in, identity.size(), identity.begin());
    return identity;
}

void StoreEntries(std::vector<uint8_t>& out, std::span<const UdpWire::Entry> entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* entry = out.data() + UdpWire::kEntriesOffset + i * UdpWire::kEntryLength;
        StoreIp(entry, entries[i].ip);
        StoreBe32(entry + 4, entries[i].port);
        std::copy(entries[i].id.begin(), entries[i].id.end(), entry + 8);
    }
}

// The entries at offset 48, their count at 44; nothing when the count does not fit the length.
std::optional<std::vector<UdpWire::Entry>> LoadEntries(std::span<const uint8_t> datagram,
                                                       size_t max_count) {
    const uint32_t count = LoadBe32(datagram.data() + 44);
    const size_t room = (datagram.size() - UdpWire::kEntriesOffset) / UdpWire::kEntryLength;
    if (count > room || count > max_count) {
        return std::nullopt;
    }
    std::vector<UdpWire::Entry> entries(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry =
            datagram.data() + UdpWire::kEntriesOffset + i * UdpWire::kEntryLength;
        entries[i].ip = LoadIp(entry);
        entries[i].port = LoadBe32(entry + 4);
        std::copy_n(entry + 8, entries[i].id.size(), entries[i].id.begin());
    }
    return entries;
}

// Connect requests and answers are at least one header long and start with 12 zero bytes
// followed by their type.
bool HasRendezvousType(std::span<const uint8_t> datagram, uint32_t type) {
    return datagram.size() >= UdpWire::kHeaderLength && datagram.size() <= UdpWire::kMaxDatagram &&
           AllZero(datagram.first(12)) && LoadBe32(datagram.data() + 12) == type;
}

}  // namespace

UdpWire::NodeId UdpWire::NodeIdOf(const MachineId& machine_id) {
    NodeId id{};
    std::copy_n(machine_id.begin(), id.size(), id.begin());
    if (id[0] == 0) {
        id[0] = 1;
    }
    if (id[1] == 0) {
        id[1] = 2;
    }
    return id;
}

UdpWire::Identity UdpWire::IdentityOf(const NodeId& id) {
    Identity identity{};
    std::copy(id.begin(), id.end(), identity.begin());
    std::copy(kIdentityMark.begin(), kIdentityMark.end(), identity.begin() + id.size());
    return identity;
}

UdpWire::NodeId UdpWire::IdOfIdentity(const Identity& identity) {
    NodeId id{};
    std::copy_n(identity.begin(), id.size(), id.begin());
    return id;
}

UdpWire::Kind UdpWire::Classify(std::span<const uint8_t> datagram, bool from_server,
                                const NodeId& own) {
    const size_t length = datagram.size();
    if (length == 0 || length > kMaxDatagram) {
        return Kind::kIgnored;
    }
    if (length > 8 && datagram[0] == 'd') {
        return Kind::kDht;
    }
    if (length == kAnswerLength) {
        return from_server ? Kind::kRegistrationAnswer : Kind::kIgnored;
    }
    if (length < kRelayLength) {
        return Kind::kIgnored;
    }
    const uint32_t first = LoadBe32(datagram.data());
    if (first == kRelayMark) {
        return from_server && length == kRelayLength ? Kind::kRelay : Kind::kIgnored;
    }
    if (first == 0) {
        if (length == kPunchLength) {
            const std::optional<Punch> punch = ParsePunch(datagram);
            return punch && IdOfIdentity(punch->receiver) == own ? Kind::kPunch : Kind::kIgnored;
        }
        if (!from_server) {
            return Kind::kIgnored;
        }
        const std::optional<ConnectAnswer> answer = ParseConnectAnswer(datagram);
        return answer && IdOfIdentity(answer->identity) == own ? Kind::kConnectAnswer
                                                               : Kind::kIgnored;
    }
    return ParseSessionHeader(datagram, own) ? Kind::kSession : Kind::kIgnored;
}

std::array<uint8_t, UdpWire::kKeepAliveLength> UdpWire::BuildKeepAlive() {
    return {};
}

std::array<uint8_t, UdpWire::kRegistrationLength> UdpWire::BuildRegistration(
    const Registration& value) {
    std::array<uint8_t, kRegistrationLength> out{};
    StoreBe32(out.data() + 12, kTypeRegistration);
    std::copy(value.identity.begin(), value.identity.end(), out.begin() + 16);
    StoreBe32(out.data() + 28, value.sequence);
    StoreIp(out.data() + 32, value.local_ip);
    StoreBe32(out.data() + 36, value.local_port);
    return out;
}

std::optional<UdpWire::Registration> UdpWire::ParseRegistration(std::span<const uint8_t> datagram) {
    if (datagram.size() != kRegistrationLength || !HasRendezvousType(datagram, kTypeRegistration)) {
        return std::nullopt;
    }
    Registration value;
    value.identity = LoadIdentity(datagram.data() + 16);
    value.sequence = LoadBe32(datagram.data() + 28);
    value.local_ip = LoadIp(datagram.data() + 32);
    value.local_port = LoadBe32(datagram.data() + 36);
    return value;
}

std::array<uint8_t, UdpWire::kAnswerLength> UdpWire::BuildRegistrationAnswer(
    const RegistrationAnswer& value) {
    std::array<uint8_t, kAnswerLength> out{};
    StoreIp(out.data(), value.external_ip);
    StoreBe32(out.data() + 4, value.second);
    return out;
}

std::optional<UdpWire::RegistrationAnswer> UdpWire::ParseRegistrationAnswer(
    std::span<const uint8_t> datagram) {
    if (datagram.size() != kAnswerLength) {
        return std::nullopt;
    }
    return RegistrationAnswer{LoadIp(datagram.data()), LoadBe32(datagram.data() + 4)};
}

std::vector<uint8_t> UdpWire::BuildConnectRequest(const ConnectRequest& value) {
    const size_t count = std::min(value.entries.size(), kMaxConnectEntries);
    std::vector<uint8_t> out(std::max(kHeaderLength, kEntriesOffset + count * kEntryLength), 0);
    StoreBe32(out.data() + 12, kTypeConnect);
    std::copy(value.identity.begin(), value.identity.end(), out.begin() + 16);
    StoreBe32(out.data() + 28, value.sequence);
    StoreIp(out.data() + 32, value.local_ip);
    StoreBe32(out.data() + 36, value.local_port);
    StoreBe32(out.data() + 40, 1);
    StoreBe32(out.data() + 44, static_cast<uint32_t>(count));
    std::vector<Entry> sent(value.entries.begin(), value.entries.begin() + count);
    for (Entry& entry : sent) {
        entry.port = 0;  // a request names the peer by address and id only
    }
    StoreEntries(out, sent);
    return out;
}

std::optional<UdpWire::ConnectRequest> UdpWire::ParseConnectRequest(
    std::span<const uint8_t> datagram) {
    if (!HasRendezvousType(datagram, kTypeConnect)) {
        return std::nullopt;
    }
    std::optional<std::vector<Entry>> entries = LoadEntries(datagram, kMaxConnectEntries);
    if (!entries) {
        return std::nullopt;
    }
    ConnectRequest value;
    value.identity = LoadIdentity(datagram.data() + 16);
    value.sequence = LoadBe32(datagram.data() + 28);
    value.local_ip = LoadIp(datagram.data() + 32);
    value.local_port = LoadBe32(datagram.data() + 36);
    value.entries = std::move(*entries);
    return value;
}

std::vector<uint8_t> UdpWire::BuildConnectAnswer(const ConnectAnswer& value) {
    const size_t count = std::min(value.entries.size(), kMaxConnectEntries);
    std::vector<uint8_t> out(std::max(kHeaderLength, kEntriesOffset + count * kEntryLength), 0);
    StoreBe32(out.data() + 12, kTypeConnectAnswer);
    std::copy(value.identity.begin(), value.identity.end(), out.begin() + 16);
    StoreBe32(out.data() + 28, value.sequence);
    StoreBe32(out.data() + 44, static_cast<uint32_t>(count));
    StoreEntries(out, std::span(value.entries).first(count));
    return out;
}

std::optional<UdpWire::ConnectAnswer> UdpWire::ParseConnectAnswer(
    std::span<const uint8_t> datagram) {
    if (!HasRendezvousType(datagram, kTypeConnectAnswer)) {
        return std::nullopt;
    }
    std::optional<std::vector<Entry>> entries = LoadEntries(datagram, kMaxDatagram);
    if (!entries) {
        return std::nullopt;
    }
    ConnectAnswer value;
    value.identity = LoadIdentity(datagram.data() + 16);
    value.sequence = LoadBe32(datagram.data() + 28);
    value.entries = std::move(*entries);
    return value;
}

std::array<uint8_t, UdpWire::kRelayLength> UdpWire::BuildRelay(const Relay& value) {
    std::array<uint8_t, kRelayLength> out{};
    StoreBe32(out.data(), kRelayMark);
    std::copy(value.requester.begin(), value.requester.end(), out.begin() + 4);
    StoreIp(out.data() + 20, value.ip);
    StoreBe32(out.data() + 24, value.port);
    return out;
}

std::optional<UdpWire::Relay> UdpWire::ParseRelay(std::span<const uint8_t> datagram) {
    if (datagram.size() != kRelayLength || LoadBe32(datagram.data()) != kRelayMark) {
        return std::nullopt;
    }
    Relay value;
    value.requester = LoadIdentity(datagram.data() + 4);
    value.ip = LoadIp(datagram.data() + 20);
    value.port = LoadBe32(datagram.data() + 24);
    return value;
}

std::array<uint8_t, UdpWire::kPunchLength> UdpWire::BuildPunch(const Punch& value) {
    std::array<uint8_t, kPunchLength> out{};
    std::copy(value.receiver.begin(), value.receiver.end(), out.begin() + 20);
    StoreBe16(out.data() + 32, value.port);
    std::copy(value.sender.begin(), value.sender.end(), out.begin() + 36);
    return out;
}

std::optional<UdpWire::Punch> UdpWire::ParsePunch(std::span<const uint8_t> datagram) {
    if (datagram.size() != kPunchLength || !AllZero(datagram.first(20))) {
        return std::nullopt;
    }
    Punch value;
    value.receiver = LoadIdentity(datagram.data() + 20);
    value.port = LoadBe16(datagram.data() + 32);
    value.sender = LoadIdentity(datagram.data() + 36);
    return value;
}

std::optional<UdpWire::SessionHeader> UdpWire::ParseSessionHeader(std::span<const uint8_t> datagram,
                                                                  const NodeId& own) {
    if (datagram.size() < kHeaderLength || datagram.size() > kMaxDatagram) {
        return std::nullopt;
    }
    SessionHeader header;
    header.length = LoadBe32(datagram.data());
    header.checksum = LoadBe32(datagram.data() + 4);
    header.handle = LoadBe32(datagram.data() + 8);
    header.control = LoadBe32(datagram.data() + 12);
    header.type = LoadBe32(datagram.data() + 16);
    if (header.length != datagram.size() || header.handle == 0 ||
        !std::equal(own.begin(), own.end(), datagram.begin() + 20) ||
        header.checksum != SessionChecksum(datagram, header.handle)) {
        return std::nullopt;
    }
    return header;
}

uint32_t UdpWire::SessionChecksum(std::span<const uint8_t> datagram, uint32_t handle) {
    return datagram.size() < 32 ? handle : Adler32(handle, datagram.subspan(32));
}

}  // namespace kf
