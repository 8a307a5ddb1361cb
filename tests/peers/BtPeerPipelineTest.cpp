#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "support/FakePeerTask.h"

namespace kf {
namespace {

using test::FakePeerTask;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = ParseDottedAddress("127.0.0.1");
constexpr int32_t kPieceLength = 262144;
constexpr int64_t kContentSize = int64_t{96} * kPieceLength;  // 24 MiB

BtWire::Hash20 Filled(uint8_t value) {
    BtWire::Hash20 out;
    out.fill(value);
    return out;
}

uint8_t ByteAt(int64_t offset) {
    return static_cast<uint8_t>((offset * 131) ^ (offset >> 13));
}

// A TBTPeer of a fake task against a scripted seeder that answers requests at its own pace; the
// 4-second rate window never closes (the fake task never sets rates).
class BtPeerPipelineTest : public ::testing::Test {
  protected:
    BtPeerPipelineTest() : task_(kContentSize, kPieceLength) {
        task_.info_hash = Filled(0xAB);
        task_.handshake_peer_id = Filled(0x11);
        task_.bt_queue_limit = 64;
    }

    // Connects, swaps handshakes, sends a full bitfield and an unchoke.
    void EstablishUnchoked() {
        ASSERT_TRUE(listener_.Listen(0, kLoopback));
        auto source = RefPtr<TPeerId>::Make();
        source->kind = PeerKind::BtNode;
        source->ip = kLoopback;
        source->port = listener_.LocalPort();
        source->resolved = true;
        ASSERT_TRUE(peer_.Attach(source));
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        while (remote_ == nullptr && Clock::now() < deadline) {
            peer_.Pump();
            remote_ = listener_.Accept();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_NE(remote_, nullptr);
        const Bytes bits((static_cast<size_t>(task_.PieceCount()) + 7) / 8, 0xFF);
        Bytes hello;
        const auto handshake = BtWire::BuildHandshake(Filled(0xAB), Filled(0x22));
        hello.insert(hello.end(), handshake.begin(), handshake.end());
        const auto bitfield = BtWire::Bitfield(bits);
        hello.insert(hello.end(), bitfield.begin(), bitfield.end());
        const auto unchoke = BtWire::Simple(BtWire::kUnchoke);
        hello.insert(hello.end(), unchoke.begin(), unchoke.end());
        ASSERT_GE(remote_->SendBytes(hello), 0);
    }

    // Takes the requests the peer wrote (the handshake is skipped once) into `asked_`.
    void CollectRequests() {
        remote_->ReceiveBytes(65536);
        std::span<const uint8_t> bytes = remote_->Received();
        size_t used = 0;
        if (!handshake_skipped_) {
            if (bytes.size() < 68) {
                return;
            }
            used = 68;
            handshake_skipped_ = true;
        }
        BtWire::Message message;
        while (BtWire::ParseMessage(bytes.subspan(used), message) == BtWire::Parse::kMessage) {
            if (message.id == BtWire::kRequest) {
                asked_.push_back(message);
            }
            used += message.size;
        }
        remote_->Consume(static_cast<int32_t>(used));
    }

    // Answers at most `count` of the collected requests.
    void Answer(size_t count) {
        const size_t n = std::min(count, asked_.size());
        for (size_t i = 0; i < n; ++i) {
            const BtWire::Message& request = asked_[i];
            const auto header = BtWire::PieceHeader(request.index, request.begin, request.length);
            Bytes out(header.begin(), header.end());
            const int64_t start = int64_t{request.index} * kPieceLength + request.begin;
            for (uint32_t k = 0; k < request.length; ++k) {
                out.push_back(ByteAt(start + k));
            }
            ASSERT_GE(remote_->SendBytes(out), 0);
        }
        asked_.erase(asked_.begin(), asked_.begin() + static_cast<std::ptrdiff_t>(n));
    }

    // Runs the exchange for `span`, the seeder answering `per_round` requests every `round`;
    // answers the most requests that were outstanding at once.
    int32_t Run(std::chrono::milliseconds span, size_t per_round, std::chrono::milliseconds round) {
        int32_t most = 0;
        const Clock::time_point end = Clock::now() + span;
        Clock::time_point next_answer = Clock::now();
        for (int i = 0; i < 100000 && Clock::now() < end && !task_.AllDone(); ++i) {
            if (!peer_.Pump()) {
                ADD_FAILURE() << "the peer dropped the connection";
                break;
            }
            most = std::max(most, peer_.Work().requests.InFlight());
            CollectRequests();
            if (Clock::now() >= next_answer) {
                Answer(per_round);
                next_answer += round;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return most;
    }

    FakePeerTask task_;
    TBTPeer peer_{task_};
    QSocket listener_;
    std::unique_ptr<QSocket> remote_;
    std::vector<BtWire::Message> asked_;
    bool handshake_skipped_ = false;
};

TEST_F(BtPeerPipelineTest, FastSeederGetsADeepPipelineBeforeAnyRateWindowCloses) {
    EstablishUnchoked();
    // About 20 MB/s, far more than six requests in flight carry at a 4 ms turn.
    const int32_t most = Run(std::chrono::milliseconds(900), 64, std::chrono::milliseconds(4));
    EXPECT_EQ(peer_.GetRates().download_rate, 0);
    EXPECT_GE(most, 48);
    EXPECT_EQ(peer_.Errors(), 0);
    // What arrived is what the seeder sent.
    for (int32_t piece = 0; piece < task_.PieceCount(); ++piece) {
        if (task_.MissingRange(PieceIndex(piece)).second != 0) {
            continue;
        }
        const std::string stored = task_.Stored(int64_t{piece} * kPieceLength, kPieceLength);
        for (int32_t k = 0; k < kPieceLength; k += 4099) {
            ASSERT_EQ(static_cast<uint8_t>(stored[static_cast<size_t>(k)]),
                      ByteAt(int64_t{piece} * kPieceLength + k));
        }
    }
}

TEST_F(BtPeerPipelineTest, SlowSeederIsNotFloodedWithRequests) {
    EstablishUnchoked();
    // One block per 250 ms (64 KiB/s): a second's worth of requests stays near the floor of six
    // (a quarter-second sample may catch two blocks).
    const int32_t most = Run(std::chrono::milliseconds(1200), 1, std::chrono::milliseconds(250));
    EXPECT_GE(most, 1);
    EXPECT_LE(most, 12);
    EXPECT_EQ(peer_.Errors(), 0);
}

}  // namespace
}  // namespace kf
