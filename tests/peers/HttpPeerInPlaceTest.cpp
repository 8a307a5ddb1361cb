// An HTTP source peer reading the body straight into the task's piece store (PeerTask::BlockRoom
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
#include "support/FakePeerTask.h"
#include "support/ScriptedServer.h"

namespace kf {
namespace {

using test::FakePeerTask;
using test::ScriptedServer;
using test::ServerConnection;

constexpr int32_t kPiece = 8 * kBlockSize;       // 128 KiB
constexpr int64_t kSize = 24LL * kPiece + 3333;  // 25 pieces, the last one short

std::string Pattern(int64_t size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int64_t i = 0; i < size; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>((i * 71 + i / 3001) & 0xFF);
    }
    return bytes;
}

// The fake task with an in-place store: rooms in a memory of its own, one fill count per block;
// a block whose last bytes are committed is handed to FakePeerTask's WriteBlock (which records it
// and may fail its piece).
class InPlaceTask : public FakePeerTask {
  public:
    struct Commit {
        int32_t block;
        int32_t offset;
        int32_t length;
    };

    InPlaceTask(int64_t size, int32_t piece_length)
        : FakePeerTask(size, piece_length),
          size_(size),
          memory_(static_cast<size_t>(size), '\0'),
          fill_(static_cast<size_t>((size + kBlockSize - 1) / kBlockSize), 0) {}

    std::span<uint8_t> BlockRoom(int32_t block, int32_t offset) override {
        if (refuse_rooms || block < 0 || static_cast<size_t>(block) >= fill_.size() ||
            IsBlockDone(block, 0) || offset != fill_[static_cast<size_t>(block)]) {
            return {};
        }
        return {reinterpret_cast<uint8_t*>(memory_.data()) + Start(block) + offset,
                static_cast<size_t>(Length(block) - offset)};
    }

    WriteResult CommitBlockBytes(int32_t block, int32_t offset, int32_t length,
                                 TPeerObject& from) override {
        commits.push_back(Commit{block, offset, length});
        int32_t& fill = fill_[static_cast<size_t>(block)];
        if (offset != fill || length <= 0 || offset + length > Length(block)) {
            return {};
        }
        fill += length;
        in_place_bytes += length;
        if (fill < Length(block)) {
            return WriteResult{true, false};
        }
        const WriteResult result =
            WriteBlock(block,
                       {reinterpret_cast<const uint8_t*>(memory_.data()) + Start(block),
                        static_cast<size_t>(Length(block))},
                       from);
        if (result.piece_failed) {
            // The piece is empty again: its blocks start over.
            const int32_t first =
                static_cast<int32_t>(Start(block) / PieceLength()) * (PieceLength() / kBlockSize);
            for (int32_t b = first;
                 b < first + PieceLength() / kBlockSize && static_cast<size_t>(b) < fill_.size();
                 ++b) {
                fill_[static_cast<size_t>(b)] = 0;
            }
        }
        return result;
    }

    // A block begun in place and not finished.
    bool HasPartBlock() const {
        return std::any_of(fill_.begin(), fill_.end(), [](int32_t f) { return f > 0; });
    }

    bool refuse_rooms = false;
    int64_t in_place_bytes = 0;
    std::vector<Commit> commits;

  private:
    int64_t Start(int32_t block) const { return static_cast<int64_t>(block) * kBlockSize; }
    int32_t Length(int32_t block) const {
        return static_cast<int32_t>(std::min<int64_t>(kBlockSize, size_ - Start(block)));
    }

    int64_t size_;
    std::string memory_;
    std::vector<int32_t> fill_;
};

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
    InPlaceTask task_;
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
    ASSERT_TRUE(PumpUntil(peer, [&] { return task_.HasPartBlock() && task_.in_place_bytes > 0; }));
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
    EXPECT_FALSE(task_.IsPieceVerified(5));
    for (int32_t piece = 0; piece < 5; ++piece) {
        EXPECT_TRUE(task_.IsPieceVerified(piece)) << piece;
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
