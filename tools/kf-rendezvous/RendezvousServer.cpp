#include "tools/kf-rendezvous/RendezvousServer.h"

#include <algorithm>
#include <cstring>

#include "engine/os/ByteOrder.h"

namespace kf {

namespace {

bool IsKeepAlive(std::span<const uint8_t> datagram) {
    return datagram.size() == UdpWire::kKeepAliveLength &&
           std::all_of(datagram.begin(), datagram.end(), [](uint8_t byte) { return byte == 0; });
}

std::vector<uint8_t> ToVector(std::span<const uint8_t> bytes) {
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace

void RendezvousServer::Handle(std::span<const uint8_t> datagram, uint32_t from_ip,
                              int32_t from_port, uint64_t now_ms, std::vector<Outgoing>& out) {
    if (!limit_.Allow(from_ip, now_ms)) {
        return;
    }
    if (IsKeepAlive(datagram)) {
        const auto found = by_public_.find({from_ip, from_port});
        if (found != by_public_.end()) {
            entries_[found->second].last_seen_ms = now_ms;
        }
        return;
    }
    if (const std::optional<UdpWire::Registration> registration =
            UdpWire::ParseRegistration(datagram)) {
        Register(*registration, from_ip, from_port, now_ms, out);
    } else if (const std::optional<UdpWire::ConnectRequest> request =
                   UdpWire::ParseConnectRequest(datagram)) {
        Connect(*request, from_ip, from_port, now_ms, out);
    }
}

void RendezvousServer::Expire(uint64_t now_ms) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (Live(it->second, now_ms)) {
            ++it;
        } else {
            Unindex(it->second);
            it = entries_.erase(it);
        }
    }
}

const RendezvousServer::Entry* RendezvousServer::Find(const UdpWire::NodeId& id) const {
    const auto found = entries_.find(id);
    return found == entries_.end() ? nullptr : &found->second;
}

bool RendezvousServer::Live(const Entry& entry, uint64_t now_ms) const {
    return now_ms < entry.last_seen_ms + kExpiryMs;
}

void RendezvousServer::Index(const UdpWire::NodeId& id, const Entry& entry) {
    by_public_[{entry.public_ip, entry.public_port}] = id;
    by_public_local_[{entry.public_ip, entry.local_port}] = id;
}

void RendezvousServer::Unindex(const Entry& entry) {
    by_public_.erase({entry.public_ip, entry.public_port});
    by_public_local_.erase({entry.public_ip, entry.local_port});
}

void RendezvousServer::Register(const UdpWire::Registration& registration, uint32_t from_ip,
                                int32_t from_port, uint64_t now_ms, std::vector<Outgoing>& out) {
    const UdpWire::NodeId id = UdpWire::IdOfIdentity(registration.identity);
    auto found = entries_.find(id);
    if (found == entries_.end()) {
        if (entries_.size() >= kMaxEntries) {
            Expire(now_ms);
        }
        if (entries_.size() >= kMaxEntries) {
            return;
        }
        found = entries_.emplace(id, Entry{}).first;
    } else {
        Unindex(found->second);
    }
    Entry& entry = found->second;
    entry.public_ip = from_ip;
    entry.public_port = from_port;
    entry.local_ip = registration.local_ip;
    entry.local_port = static_cast<int32_t>(registration.local_port & 0xFFFF);
    entry.last_seen_ms = now_ms;
    Index(id, entry);
    const UdpWire::RegistrationAnswer answer{from_ip, static_cast<uint32_t>(from_port)};
    out.push_back({ToVector(UdpWire::BuildRegistrationAnswer(answer)), from_ip, from_port});
}

const RendezvousServer::Entry* RendezvousServer::Target(const UdpWire::NodeId& id,
                                                        uint64_t now_ms) const {
    const Entry* entry = Find(id);
    if (entry == nullptr && id[0] == 0 && id[1] == 0) {
        uint32_t public_ip = 0;
        std::memcpy(&public_ip, id.data() + 2, 4);
        const auto found = by_public_local_.find({public_ip, LoadBe16(id.data() + 6)});
        entry = found == by_public_local_.end() ? nullptr : Find(found->second);
    }
    return entry != nullptr && Live(*entry, now_ms) ? entry : nullptr;
}

void RendezvousServer::Connect(const UdpWire::ConnectRequest& request, uint32_t from_ip,
                               int32_t from_port, uint64_t now_ms, std::vector<Outgoing>& out) {
    UdpWire::ConnectAnswer answer;
    answer.identity = request.identity;
    answer.sequence = request.sequence;
    for (const UdpWire::Entry& wanted : request.entries) {
        UdpWire::Entry reply{wanted.ip, UdpWire::kUnknownPort, wanted.id};
        if (const Entry* target = Target(wanted.id, now_ms)) {
            // Two engines behind one router reach each other at their local addresses.
            const bool same_router = target->public_ip == from_ip;
            reply.ip = same_router ? target->local_ip : target->public_ip;
            reply.port =
                static_cast<uint32_t>(same_router ? target->local_port : target->public_port);
            UdpWire::Relay relay;
            relay.requester = request.identity;
            relay.ip = same_router ? request.local_ip : from_ip;
            relay.port = same_router ? request.local_port : static_cast<uint32_t>(from_port);
            const std::vector<uint8_t> bytes = ToVector(UdpWire::BuildRelay(relay));
            // The server reaches the target only where it registered from, even when the
            // requester is told the target's local address.
            for (int copy = 0; copy < kRelayCopies; ++copy) {
                out.push_back({bytes, target->public_ip, target->public_port});
            }
        }
        answer.entries.push_back(reply);
    }
    out.push_back({UdpWire::BuildConnectAnswer(answer), from_ip, from_port});
}

}  // namespace kf
