// How much an HTTP source peer reads in one turn: never more than the task's download allowance,
// and, when the allowance permits, far more than one default-sized read, with the body still
// landing block by block in the right places.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "engine/peers/THttpPeer.h"
#include "support/FakePeerTask.h"
#include "support/PatternBytes.h"
#include "support/ScriptedServer.h"

namespace kf {
namespace {

using test::FakePeerTask;
using test::ScriptedServer;
using test::ServerConnection;

constexpr int32_t kPiece = 16 * kBlockSize;      // 256 KiB
constexpr int64_t kSize = 12LL * kPiece + 5000;  // 13 pieces, the last one short
constexpr int32_t kDefaultRead = 43008;          // QSocket's read size when none is asked

std::string Pattern(int64_t size) {
    return test::PatternBytes(size, 29, 1021);
}

class HttpPeerReadSize : public ::testing::Test {
  protected:
    HttpPeerReadSize() : content_(Pattern(kSize)), task_(kSize, kPiece) {}

    // A server that sends the whole file at once, in sends of `piece` bytes.
    void Serve(size_t piece) {
        server_ = std::make_unique<ScriptedServer>([this, piece](ServerConnection& c) {
            if (c.ReadUntil("\r\n\r\n").empty()) {
                return;
            }
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n";
            if (c.SendInPieces(head + content_, piece)) {
                c.WaitForClientClose();
            }
        });
        ASSERT_TRUE(server_->Start());
    }

    RefPtr<TPeerId> Source() {
        RefPtr<TPeerId> source = RefPtr<TPeerId>::Make(server_->Url("/file.bin"));
        EXPECT_TRUE(source->ParseSourceAddress());
        source->connections = 1;
        return source;
    }

    // Pumps (1 ms apart, at most 10 s) until the header is in; false when the peer gave up.
    bool PumpUntilHeader(THttpPeer& peer) {
        for (int i = 0; i < 10000 && !peer.HeaderDone(); ++i) {
            if (!peer.Pump()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return peer.HeaderDone();
    }

    // One turn after the socket has had time to fill; answers the bytes the turn read, or -1
    // when the peer gave up.
    int32_t TurnAfterPause(THttpPeer& peer) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (!peer.Pump()) {
            return -1;
        }
        return peer.GetRates().received_tick;
    }

    // Pumps to the end (at most 10 s) with the allowance unlimited.
    void FinishAndCheck(THttpPeer& peer) {
        task_.download_allowance = 1 << 30;
        for (int i = 0; i < 10000 && !task_.AllDone(); ++i) {
            if (!peer.Pump()) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(task_.AllDone());
        EXPECT_EQ(task_.Stored(0, kSize), content_);
        EXPECT_EQ(task_.payload_by_kind[KindBits(PeerKind::Http)], kSize);
    }

    std::string content_;
    FakePeerTask task_;
    std::unique_ptr<ScriptedServer> server_;
};

TEST_F(HttpPeerReadSize, ATurnNeverReadsMoreThanTheAllowance) {
    Serve(65536);
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    // The header turn reads at most the allowance too.
    task_.download_allowance = 3000;
    ASSERT_TRUE(PumpUntilHeader(peer));
    EXPECT_LE(peer.GetRates().received_tick, 3000);

    for (const int32_t allowance : {5000, 1, 16384, 20000, 70000}) {
        task_.download_allowance = allowance;
        for (int turn = 0; turn < 3; ++turn) {
            const int32_t read = TurnAfterPause(peer);
            ASSERT_GE(read, 0);
            EXPECT_LE(read, allowance) << "allowance " << allowance;
            EXPECT_GT(read, 0) << "allowance " << allowance;  // the server is far ahead
        }
    }
    // An allowance of 0 (the second's budget is spent) reads nothing.
    task_.download_allowance = 0;
    EXPECT_EQ(TurnAfterPause(peer), 0);
    EXPECT_EQ(TurnAfterPause(peer), 0);
    FinishAndCheck(peer);
}

TEST_F(HttpPeerReadSize, AWideAllowanceTakesMoreThanOneDefaultReadPerTurn) {
    Serve(200000);
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    ASSERT_TRUE(PumpUntilHeader(peer));
    int32_t largest = 0;
    for (int turn = 0; turn < 5 && !task_.AllDone(); ++turn) {
        const int32_t read = TurnAfterPause(peer);
        ASSERT_GE(read, 0);
        EXPECT_LE(read, THttpPeer::kMaxStreamRead);
        largest = std::max(largest, read);
    }
    EXPECT_GT(largest, kDefaultRead);
    FinishAndCheck(peer);
}

TEST_F(HttpPeerReadSize, BodyCutAtOddPlacesLandsInPlaceWithLargeReads) {
    Serve(12345);  // sends end inside blocks and inside reads
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    ASSERT_TRUE(PumpUntilHeader(peer));
    // Alternate between narrow and wide turns so that reads end at every kind of place.
    for (int turn = 0; turn < 40 && !task_.AllDone(); ++turn) {
        task_.download_allowance = (turn % 2 == 0) ? 7777 : THttpPeer::kMaxStreamRead;
        if (TurnAfterPause(peer) < 0) {
            break;  // the peer ends once nothing is left to fetch; the check below tells
        }
    }
    FinishAndCheck(peer);
}

}  // namespace
}  // namespace kf
