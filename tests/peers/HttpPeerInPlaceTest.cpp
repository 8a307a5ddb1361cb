// An HTTP source peer reading the body straight into the task's piece store (TaskContent::BlockRoom
// and CommitBlockBytes) instead of through its receive buffer: every block lands once and in its
// place, reads stay within the allowance, and a room that is refused half-way through a block, a
// piece that fails its check, and bytes that came with the header all end correctly.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/peers/THttpPeer.h"
#include "support/InPlacePeerTask.h"
#include "support/PatternBytes.h"
#include "support/ScriptedServer.h"

namespace kf {
namespace {

using test::InPlacePeerTask;
using test::ScriptedServer;
using test::ServerConnection;

constexpr int32_t kPiece = 8 * kBlockSize;       // 128 KiB
constexpr int64_t kSize = 24LL * kPiece + 3333;  // 25 pieces, the last one short

std::string Pattern(int64_t size) {
    return test::PatternBytes(size, 71, 3001);
}

class HttpPeerInPlace : public ::testing::Test {
  protected:
    HttpPeerInPlace() : content_(Pattern(kSize)), task_(kSize, kPiece) {}

    // A file server that honours Range, sending in pieces of `piece` bytes.
    void Serve(size_t piece) {
        server_ = std::make_unique<ScriptedServer>([this, piece](ServerConnection& c) {
            const std::string request = c.ReadUntil("\r\n\r\n");
            if (request.empty()) {
                return;
            }
            server_->Record(request);
            const size_t at = request.find("Range: bytes=");
            const int64_t start = at == std::string::npos ? 0 : std::stoll(request.substr(at + 13));
            std::string head;
            if (start > 0) {
                head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                       std::to_string(start) + "-" + std::to_string(kSize - 1) + "/" +
                       std::to_string(kSize) +
                       "\r\nContent-Length: " + std::to_string(kSize - start) + "\r\n\r\n";
            } else {
                head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n";
            }
            if (c.SendInPieces(head + content_.substr(static_cast<size_t>(start)), piece)) {
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

    // Pumps (1 ms apart, at most 10 s) until `done`; false when the peer gave up first (the peer
    // is then reset, as the task does).
    bool PumpUntil(THttpPeer& peer, const std::function<bool()>& done) {
        for (int i = 0; i < 10000; ++i) {
            if (done()) {
                return true;
            }
            if (!peer.Pump()) {
                last_status_ = peer.Status();
                peer.Reset();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    void ExpectWholeFile() {
        ASSERT_TRUE(task_.AllDone());
        EXPECT_EQ(task_.Stored(0, kSize), content_);
        // Every block counted once.
        EXPECT_EQ(task_.payload_by_kind[KindBits(PeerKind::Http)], kSize);
    }

    std::string content_;
    InPlacePeerTask task_;
    std::unique_ptr<ScriptedServer> server_;
    int32_t last_status_ = -1;
};

TEST_F(HttpPeerInPlace, BodyIsReadInPlaceAfterWhatCameWithTheHeader) {
    Serve(100000);
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    PumpUntil(peer, [] { return false; });  // to the end: nothing left to fetch
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    ExpectWholeFile();
    // Only the bytes read with the header (one default read) and the rest of the block they
    // began went through the receive buffer.
    EXPECT_GE(task_.in_place_bytes, kSize - 43008 - kBlockSize);
    EXPECT_EQ(task_.writes.size(), static_cast<size_t>((kSize + kBlockSize - 1) / kBlockSize));
    EXPECT_EQ(server_->Accepted(), 1);
}

TEST_F(HttpPeerInPlace, ReadsInPlaceStayWithinTheAllowance) {
    Serve(65536);
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    ASSERT_TRUE(PumpUntil(peer, [&] { return peer.HeaderDone(); }));
    const size_t commits_before = task_.commits.size();
    for (const int32_t allowance : {5000, 16384, 40000, 1}) {
        task_.download_allowance = allowance;
        for (int turn = 0; turn < 4; ++turn) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_TRUE(peer.Pump());
            EXPECT_LE(peer.GetRates().received_tick, allowance) << "allowance " << allowance;
        }
    }
    EXPECT_GT(task_.commits.size(), commits_before);
    task_.download_allowance = 1 << 30;
    PumpUntil(peer, [] { return false; });
    ExpectWholeFile();
}

TEST_F(HttpPeerInPlace, RoomRefusedHalfWayThroughABlockStartsANewConnection) {
    Serve(65536);
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    ASSERT_TRUE(PumpUntil(peer, [&] { return peer.HeaderDone(); }));
    // Narrow turns until a block has been begun in place.
    task_.download_allowance = 5000;
    ASSERT_TRUE(
        PumpUntil(peer, [&] { return task_.HasCommittedBlock() && task_.in_place_bytes > 0; }));
    // From now on the store takes nothing in place (as when another party filled the block).
    task_.refuse_rooms = true;
    task_.download_allowance = 1 << 30;
    PumpUntil(peer, [] { return false; });
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    ExpectWholeFile();
    // The begun block was asked for again on a new connection, from its start.
    const std::vector<std::string> requests = server_->Recorded();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("Range: bytes="), std::string::npos);
}

TEST_F(HttpPeerInPlace, PieceFailingItsCheckInPlaceEndsTheConnection) {
    Serve(100000);
    task_.failing_pieces = {5};
    THttpPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Source()));
    EXPECT_FALSE(PumpUntil(peer, [] { return false; }));
    EXPECT_EQ(task_.failed_pieces, std::vector<int32_t>{5});
    EXPECT_FALSE(task_.IsPieceVerified(PieceIndex(5)));
    for (int32_t piece = 0; piece < 5; ++piece) {
        EXPECT_TRUE(task_.IsPieceVerified(PieceIndex(piece))) << piece;
        EXPECT_EQ(task_.Stored(int64_t{piece} * kPiece, kPiece),
                  content_.substr(static_cast<size_t>(piece) * kPiece, kPiece));
    }
    // A second connection fetches the rest, the failed piece included.
    task_.failing_pieces.clear();
    THttpPeer again(task_);
    RefPtr<TPeerId> source = Source();
    source->UrlInfo().content_length = kSize;
    ASSERT_TRUE(again.Attach(source));
    PumpUntil(again, [] { return false; });
    ASSERT_TRUE(task_.AllDone());
    EXPECT_EQ(task_.Stored(0, kSize), content_);
}

}  // namespace
}  // namespace kf
