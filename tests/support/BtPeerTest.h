#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "engine/net/Ipv4Address.h"
#include "engine/net/QSocket.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "support/FakePeerTask.h"
#include "support/WireBytes.h"

namespace kf::test {

// Loopback addresses, contents and polling for the BitTorrent peer tests.
inline const uint32_t kLoopback = ParseDottedAddress("127.0.0.1");
inline const QProxyConfig kDirect;
inline constexpr int32_t kPieceLength = 32768;

inline BtWire::Hash20 Filled(uint8_t value) {
    BtWire::Hash20 out;
    out.fill(value);
    return out;
}

inline std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>(((i + seed) ^ (i >> 11)) * 131u + seed);
    }
    return out;
}

// Polls `done` until it holds, at most five seconds; each round runs `step` first.
inline bool WaitUntil(
    const std::function<bool()>& done, const std::function<void()>& step = [] {}) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int round = 0; round < 100000 && std::chrono::steady_clock::now() < deadline; ++round) {
        step();
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// A TBTPeer of a fake task and a scripted remote at the other end of a loopback connection.
class BtPeerTest : public ::testing::Test {
  protected:
    static constexpr uint8_t kInfoHash = 0xAB;
    static constexpr uint8_t kOwnId = 0x11;
    static constexpr uint8_t kRemoteId = 0x22;

    BtPeerTest() : task_(8 * kPieceLength + 1000, kPieceLength) {
        task_.info_hash = Filled(kInfoHash);
        task_.handshake_peer_id = Filled(kOwnId);
    }

    // Outgoing: the peer connects to a listener standing in for the remote.
    void ConnectOut() {
        ASSERT_TRUE(listener_.Listen(0, kLoopback));
        source_ = RefPtr<TPeerId>::Make();
        source_->kind = PeerKind::BtNode;
        source_->ip = kLoopback;
        source_->port = listener_.LocalPort();
        source_->resolved = true;
        ASSERT_TRUE(peer_.Attach(source_));
        ASSERT_TRUE(WaitUntil([&] {
            if (remote_ == nullptr) {
                remote_ = listener_.Accept();
            }
            return remote_ != nullptr;
        }));
    }

    // Incoming: the remote connects, the engine's accepted end goes to the peer.
    void ConnectIn(bool wrapped = false) {
        ASSERT_TRUE(listener_.Listen(0, kLoopback));
        auto client = std::make_unique<QSocket>();
        ASSERT_TRUE(client->ConnectTo(kLoopback, listener_.LocalPort(), false, &kDirect));
        std::unique_ptr<QSocket> accepted;
        ASSERT_TRUE(WaitUntil([&] {
            if (accepted == nullptr) {
                accepted = listener_.Accept();
            }
            return accepted != nullptr && client->IsEstablished();
        }));
        remote_ = std::move(client);
        ASSERT_TRUE(peer_.AcceptConnection(std::move(accepted), wrapped));
    }

    Bytes RemoteHandshake(uint8_t id = kRemoteId) const {
        return Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(id)));
    }

    void Send(const Bytes& bytes) { ASSERT_GE(remote_->SendBytes(bytes), 0); }

    // Pumps the peer until the remote holds `count` bytes; false when the peer gave up first.
    bool PumpUntilRemoteHas(size_t count) {
        bool alive = true;
        const bool got = WaitUntil([&] { return !alive || remote_->Received().size() >= count; },
                                   [&] {
                                       alive = peer_.Pump() && peer_.PumpUpload();
                                       remote_->ReceiveBytes(65536);
                                   });
        return got && alive;
    }
    // Pumps the peer until `done`; false when the peer gave up first.
    bool PumpUntil(const std::function<bool()>& done) {
        bool alive = true;
        const bool got = WaitUntil([&] { return !alive || done(); },
                                   [&] {
                                       alive = peer_.Pump() && peer_.PumpUpload();
                                       remote_->ReceiveBytes(65536);
                                   });
        return got && alive;
    }
    // Pumps until the peer answers false (the connection dropped).
    bool PumpUntilDropped() {
        return WaitUntil([&] { return !peer_.Pump(); });
    }
    Bytes TakeRemote() {
        const std::span<const uint8_t> bytes = remote_->Received();
        Bytes out(bytes.begin(), bytes.end());
        remote_->Consume(-1);
        return out;
    }

    // Handshake both ways, the peer's bitfield and interested+unchoke read off the wire.
    void Establish(bool incoming = false, const Bytes& remote_bits = {}) {
        if (incoming) {
            ConnectIn();
            Send(RemoteHandshake());
        } else {
            ConnectOut();
            ASSERT_TRUE(PumpUntilRemoteHas(68));
            Send(RemoteHandshake());
        }
        if (!remote_bits.empty()) {
            Send(BtWire::Bitfield(remote_bits));
        }
        const size_t bitfield = 5 + (static_cast<size_t>(task_.PieceCount()) + 7) / 8;
        ASSERT_TRUE(PumpUntilRemoteHas(68 + bitfield + 10));
        ASSERT_EQ(peer_.State(), TPeerObject::kEstablished);
        TakeRemote();
    }

    FakePeerTask task_;
    TBTPeer peer_{task_};
    QSocket listener_;
    RefPtr<TPeerId> source_;
    std::unique_ptr<QSocket> remote_;
};

}  // namespace kf::test
