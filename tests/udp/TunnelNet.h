#pragma once

// Two or more TunnelSessions joined by a fake network: a hand-moved clock, a datagram queue with
// seeded loss, duplication and reordering, and a stand-in rendezvous server that answers connect
// requests and relays them as the real one does. Nothing touches a socket.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "engine/udp/TunnelSessions.h"

namespace kf::test {

struct Wire {
    std::vector<uint8_t> bytes;
    uint32_t from_ip = 0;
    int32_t from_port = 0;
    uint32_t to_ip = 0;
    int32_t to_port = 0;
};

inline uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t ip = 0;
    std::memcpy(&ip, bytes, 4);
    return ip;
}

class FakeHost : public TunnelHost {
  public:
    FakeHost(const uint64_t& clock, std::vector<Wire>& wire, uint32_t ip, int32_t port,
             UdpWire::NodeId id)
        : clock_(clock), wire_(wire), ip_(ip), port_(port), id_(id) {}

    Sent SendTo(std::span<const uint8_t> datagram, uint32_t ip, int32_t port) override {
        if (block_sends) {
            return Sent::kWouldBlock;
        }
        wire_.push_back({{datagram.begin(), datagram.end()}, ip_, port_, ip, port});
        ++sent;
        return Sent::kSent;
    }
    bool SendToServer(std::span<const uint8_t> datagram) override {
        to_server.emplace_back(datagram.begin(), datagram.end());
        return true;
    }
    uint64_t NowMs() const override { return clock_; }
    UdpWire::Identity OwnIdentity() const override { return UdpWire::IdentityOf(id_); }
    uint32_t LocalIp() const override { return ip_; }
    int32_t LocalPort() const override { return port_; }
    uint32_t ExternalIp() const override { return ip_; }
    bool Suspended() const override { return suspended; }
    bool Running() const override { return true; }
    void WakeEndpoint() override { ++wakes; }

    uint32_t ip() const { return ip_; }
    int32_t port() const { return port_; }
    const UdpWire::NodeId& id() const { return id_; }

    std::vector<std::vector<uint8_t>> to_server;
    bool block_sends = false;
    bool suspended = false;
    int sent = 0;
    int wakes = 0;

  private:
    const uint64_t& clock_;
    std::vector<Wire>& wire_;
    uint32_t ip_;
    int32_t port_;
    UdpWire::NodeId id_;
};

struct Faults {
    double loss = 0;
    double duplicate = 0;
    double reorder = 0;
};

class TunnelNet {
  public:
    struct Node {
        std::unique_ptr<FakeHost> host;
        std::unique_ptr<TunnelSessions> sessions;
    };

    explicit TunnelNet(uint32_t seed = 7) : random_(seed) {}

    TunnelSessions& Add(uint32_t ip, int32_t port, UdpWire::NodeId id,
                        TunnelSessions::Options options = {}) {
        Node node;
        node.host = std::make_unique<FakeHost>(now, wire, ip, port, id);
        node.sessions = std::make_unique<TunnelSessions>(*node.host, options);
        nodes_.push_back(std::move(node));
        return *nodes_.back().sessions;
    }
    FakeHost& Host(size_t index) { return *nodes_.at(index).host; }
    TunnelSessions& Sessions(size_t index) { return *nodes_.at(index).sessions; }

    // Everything on the wire, through the faults, to its receiver; the rest is lost.
    void Deliver() {
        std::vector<Wire> batch;
        batch.swap(wire);
        std::vector<Wire> arriving;
        std::bernoulli_distribution lost(faults.loss);
        std::bernoulli_distribution doubled(faults.duplicate);
        std::bernoulli_distribution swapped(faults.reorder);
        for (Wire& datagram : batch) {
            if (record) {
                delivered.push_back(datagram);
            }
            // Leaving opens the sender's router to answers from where it went, lost or not.
            opened_.push_back(
                {datagram.from_ip, datagram.from_port, datagram.to_ip, datagram.to_port});
            if (lost(random_) || (drop_if && drop_if(datagram))) {
                continue;
            }
            if (routers && std::find(opened_.begin(), opened_.end(),
                                     Opening{datagram.to_ip, datagram.to_port, datagram.from_ip,
                                             datagram.from_port}) == opened_.end()) {
                continue;  // unsolicited: the receiver's router drops it
            }
            if (doubled(random_)) {
                arriving.push_back(datagram);
            }
            arriving.push_back(std::move(datagram));
        }
        for (size_t i = 1; i < arriving.size(); ++i) {
            if (swapped(random_)) {
                std::swap(arriving[i - 1], arriving[i]);
            }
        }
        for (const Wire& datagram : arriving) {
            for (Node& node : nodes_) {
                if (node.host->ip() == datagram.to_ip && node.host->port() == datagram.to_port) {
                    const UdpWire::Kind kind =
                        UdpWire::Classify(datagram.bytes, false, node.host->id());
                    if (kind == UdpWire::Kind::kPunch || kind == UdpWire::Kind::kSession) {
                        node.sessions->OnDatagram(kind, datagram.bytes, datagram.from_ip,
                                                  datagram.from_port);
                    }
                }
            }
        }
    }

    // The rendezvous server: answers each connect request with the peers' addresses (by id, or
    // by address for an address-form entry, echoing its id bytes) and relays it to them.
    void Serve() {
        for (Node& node : nodes_) {
            std::vector<std::vector<uint8_t>> requests;
            requests.swap(node.host->to_server);
            for (const auto& bytes : requests) {
                const auto request = UdpWire::ParseConnectRequest(bytes);
                if (!request || !server_up) {
                    continue;
                }
                UdpWire::ConnectAnswer answer{request->identity, request->sequence, {}};
                for (const UdpWire::Entry& entry : request->entries) {
                    const Node* target = FindTarget(entry);
                    UdpWire::Entry out{entry.ip, UdpWire::kUnknownPort, entry.id};
                    if (target != nullptr) {
                        out = {target->host->ip(), static_cast<uint32_t>(target->host->port()),
                               entry.id};
                        UdpWire::Relay relay{request->identity, node.host->ip(),
                                             static_cast<uint32_t>(node.host->port())};
                        target->sessions->OnDatagram(UdpWire::Kind::kRelay,
                                                     UdpWire::BuildRelay(relay), 0, 82);
                    }
                    answer.entries.push_back(out);
                }
                node.sessions->OnDatagram(UdpWire::Kind::kConnectAnswer,
                                          UdpWire::BuildConnectAnswer(answer), 0, 82);
            }
        }
    }

    // One 20 ms endpoint pass on every node.
    void Step() {
        now += 20;
        ++steps_;
        for (Node& node : nodes_) {
            node.sessions->FlushConnectRequests();
        }
        Serve();
        Deliver();
        for (Node& node : nodes_) {
            if (steps_ % 2 == 0) {
                node.sessions->RetransmitPass();
            }
            node.sessions->AckPass();
            if (steps_ % 150 == 0) {
                node.sessions->Housekeeping();
            }
        }
    }

    template <class Done>
    bool RunUntil(Done done, uint64_t limit_ms) {
        const uint64_t end = now + limit_ms;
        while (!done()) {
            if (now >= end) {
                return false;
            }
            Step();
        }
        return true;
    }

    uint64_t now = 1'000'000;
    std::vector<Wire> wire;
    bool record = false;
    std::vector<Wire> delivered;  // everything sent while recording
    Faults faults;
    std::function<bool(const Wire&)> drop_if;  // a chosen loss on top of the random one
    bool server_up = true;
    // Every host sits behind a port-restricted router: a datagram passes only from an address
    // and port that its receiver has sent to before.
    bool routers = false;

  private:
    struct Opening {
        uint32_t ip = 0;
        int32_t port = 0;
        uint32_t to_ip = 0;
        int32_t to_port = 0;
        bool operator==(const Opening&) const = default;
    };
    std::vector<Opening> opened_;

    const Node* FindTarget(const UdpWire::Entry& entry) const {
        for (const Node& node : nodes_) {
            const bool address_form = entry.id[0] == 0 && entry.id[1] == 0;
            const uint32_t ip = node.host->ip();
            if (address_form ? std::memcmp(entry.id.data() + 2, &ip, 4) == 0
                             : node.host->id() == entry.id) {
                return &node;
            }
        }
        return nullptr;
    }

    std::vector<Node> nodes_;
    std::mt19937 random_;
    uint64_t steps_ = 0;
};

}  // namespace kf::test
