#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "engine/udp/UdpWire.h"
#include "tools/kf-rendezvous/SourceRateLimit.h"

namespace kf {

// The rendezvous server's logic without sockets: bytes and their source in, datagrams to send
// out. It keeps per 8-byte engine id the address a registration came from (public), the address
// the engine registered (local) and when it was last heard; answers registrations with the
// observed public address and port; answers connect requests with each target's address (the
// local one when requester and target share a public address) and relays the request to each
// known target twice; and refreshes a registration on its keep-alive.
//
// Owner and thread: the server program's one thread. Clock: milliseconds the caller supplies.
// Trust and limits: datagrams are untrusted (UdpWire parses them); each source address may make
// kRequestsPerSecond requests a second, the rest are dropped unanswered; entries expire
// kExpiryMs after they were last heard; at most kMaxEntries engines are kept (a new one is
// refused while the table is full of live ones). Addresses in network order.
class RendezvousServer {
  public:
    static constexpr uint32_t kRequestsPerSecond = 20;
    static constexpr uint64_t kExpiryMs = 660000;
    static constexpr size_t kMaxEntries = 65536;
    static constexpr int kRelayCopies = 2;

    struct Outgoing {
        std::vector<uint8_t> bytes;
        uint32_t ip = 0;
        int32_t port = 0;
    };
    struct Entry {
        uint32_t public_ip = 0;
        int32_t public_port = 0;
        uint32_t local_ip = 0;
        int32_t local_port = 0;
        uint64_t last_seen_ms = 0;
    };

    RendezvousServer() : limit_(kRequestsPerSecond) {}

    // Handles one datagram from `from_ip`:`from_port`; what to send is appended to `out`.
    void Handle(std::span<const uint8_t> datagram, uint32_t from_ip, int32_t from_port,
                uint64_t now_ms, std::vector<Outgoing>& out);
    // Forgets entries not heard from for kExpiryMs.
    void Expire(uint64_t now_ms);
    size_t Size() const { return entries_.size(); }
    const Entry* Find(const UdpWire::NodeId& id) const;

  private:
    void Register(const UdpWire::Registration& registration, uint32_t from_ip, int32_t from_port,
                  uint64_t now_ms, std::vector<Outgoing>& out);
    void Connect(const UdpWire::ConnectRequest& request, uint32_t from_ip, int32_t from_port,
                 uint64_t now_ms, std::vector<Outgoing>& out);
    // The entry an id names: by id, or for the form 0, 0, IPv4, port the engine registered from
    // that public address with that local port.
    const Entry* Target(const UdpWire::NodeId& id, uint64_t now_ms) const;
    bool Live(const Entry& entry, uint64_t now_ms) const;
    void Index(const UdpWire::NodeId& id, const Entry& entry);
    void Unindex(const Entry& entry);

    using AddressKey = std::pair<uint32_t, int32_t>;
    std::map<UdpWire::NodeId, Entry> entries_;
    // The same entries by public address and port (keep-alives) and by public address and local
    // port (ids of the address form).
    std::map<AddressKey, UdpWire::NodeId> by_public_;
    std::map<AddressKey, UdpWire::NodeId> by_public_local_;
    SourceRateLimit limit_;
};

}  // namespace kf
