#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kf {

// The datagrams of the engine's UDP endpoint without sockets: the endpoint identity, the
// rendezvous datagrams (registration, its answer, keep-alive, connect request and answer, relay),
// the punch, the tunnelled-session header, and the classification that routes one received
// datagram. Stateless; every function is safe on any thread. Integers on the wire are big-endian;
// IPv4 addresses are kept in network order and written as their four bytes.
//
// Trust: received bytes are untrusted. Parsers never read past their span, bound every count by
// the datagram's length and by kMaxConnectEntries, and answer nothing for anything malformed.
class UdpWire {
  public:
    using NodeId = std::array<uint8_t, 8>;
    using Identity = std::array<uint8_t, 12>;
    using MachineId = std::array<uint8_t, 16>;

    static constexpr size_t kMaxDatagram = 8192;
    static constexpr size_t kKeepAliveLength = 8;
    static constexpr size_t kAnswerLength = 8;
    static constexpr size_t kRegistrationLength = 64;
    static constexpr size_t kRelayLength = 32;
    static constexpr size_t kPunchLength = 48;
    static constexpr size_t kHeaderLength = 64;
    static constexpr size_t kEntryLength = 16;
    static constexpr size_t kEntriesOffset = 48;
    static constexpr size_t kMaxConnectEntries = 13;
    static constexpr uint32_t kTypeRegistration = 2;
    static constexpr uint32_t kTypeConnect = 3;
    static constexpr uint32_t kTypeConnectAnswer = 0x80000003u;
    static constexpr uint32_t kRelayMark = 0x33333333u;
    static constexpr uint32_t kUnknownPort = 0xFFFFFFFFu;

    struct Registration {
        Identity identity{};
        uint32_t sequence = 0;
        uint32_t local_ip = 0;  // network order
        uint32_t local_port = 0;
    };
    struct RegistrationAnswer {
        uint32_t external_ip = 0;  // network order
        uint32_t second = 0;       // the server's observed port
    };
    // In a request: the peer's address (the port is sent as zero) and its id; in an answer: the
    // peer's public address and port (kUnknownPort when the server does not know it).
    struct Entry {
        uint32_t ip = 0;
        uint32_t port = 0;
        NodeId id{};
    };
    struct ConnectRequest {
        Identity identity{};
        uint32_t sequence = 0;
        uint32_t local_ip = 0;
        uint32_t local_port = 0;
        std::vector<Entry> entries;  // at most kMaxConnectEntries
    };
    struct ConnectAnswer {
        Identity identity{};
        uint32_t sequence = 0;
        std::vector<Entry> entries;
    };
    struct Relay {
        Identity requester{};
        uint32_t ip = 0;  // the requester's public address
        uint32_t port = 0;
    };
    struct Punch {
        Identity receiver{};
        uint16_t port = 0;  // the sender's local UDP port
        Identity sender{};
    };
    struct SessionHeader {
        uint32_t length = 0;
        uint32_t checksum = 0;
        uint32_t handle = 0;
        uint32_t control = 0;
        uint32_t type = 0;
    };

    // Where one received datagram goes.
    enum class Kind {
        kDht,                 // bencoded: the DHT inbox
        kRegistrationAnswer,  // from the rendezvous server
        kRelay,               // from the rendezvous server
        kConnectAnswer,       // from the rendezvous server
        kPunch,               // from a peer, addressed to this engine
        kSession,             // a tunnelled-session packet for this engine, length and sum right
        kIgnored,
    };

    // The 8 id bytes of an engine: the machine identifier's first 8 bytes, a zero first byte made
    // 1 and a zero second byte made 2. Peer ids and the endpoint identity both take them from
    // here, so that a peer id tells which endpoint to reach.
    static NodeId NodeIdOf(const MachineId& machine_id);
    // The 12-byte endpoint identity: the id bytes, "UDP" and 0x30.
    static Identity IdentityOf(const NodeId& id);
    static NodeId IdOfIdentity(const Identity& identity);

    // `from_server`: the datagram came from the rendezvous server's own address and port; the
    // server's datagrams from anywhere else are ignored. `own` is this engine's id.
    static Kind Classify(std::span<const uint8_t> datagram, bool from_server, const NodeId& own);

    static std::array<uint8_t, kKeepAliveLength> BuildKeepAlive();
    static std::array<uint8_t, kRegistrationLength> BuildRegistration(const Registration& value);
    static std::optional<Registration> ParseRegistration(std::span<const uint8_t> datagram);
    static std::array<uint8_t, kAnswerLength> BuildRegistrationAnswer(
        const RegistrationAnswer& value);
    static std::optional<RegistrationAnswer> ParseRegistrationAnswer(
        std::span<const uint8_t> datagram);
    // The request's own length: 64 bytes for one entry, 16 more per further entry. Entries beyond
    // kMaxConnectEntries are not sent.
    static std::vector<uint8_t> BuildConnectRequest(const ConnectRequest& value);
    static std::optional<ConnectRequest> ParseConnectRequest(std::span<const uint8_t> datagram);
    static std::vector<uint8_t> BuildConnectAnswer(const ConnectAnswer& value);
    static std::optional<ConnectAnswer> ParseConnectAnswer(std::span<const uint8_t> datagram);
    static std::array<uint8_t, kRelayLength> BuildRelay(const Relay& value);
    static std::optional<Relay> ParseRelay(std::span<const uint8_t> datagram);
    static std::array<uint8_t, kPunchLength> BuildPunch(const Punch& value);
    static std::optional<Punch> ParsePunch(std::span<const uint8_t> datagram);
    // The first 20 bytes of a session packet; nothing unless the datagram is at least
    // kHeaderLength long, its length field equals its length, its handle is not 0, it names
    // `own` as receiver and its checksum (Adler-32 from the handle over bytes 32 on) is right.
    static std::optional<SessionHeader> ParseSessionHeader(std::span<const uint8_t> datagram,
                                                           const NodeId& own);
    static uint32_t SessionChecksum(std::span<const uint8_t> datagram, uint32_t handle);
};

}  // namespace kf
