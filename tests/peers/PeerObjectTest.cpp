#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/peers/AddressText.h"
#include "engine/peers/TPeerObject.h"
#include "support/FakePeerTask.h"
#include "support/ScriptedServer.h"

namespace kf {
namespace {

using test::FakePeerTask;
using test::ScriptedServer;
using test::ServerConnection;

constexpr int32_t kPiece = 4 * kBlockSize;

// The smallest concrete peer: connects like a server peer and lets tests choose its answers.
class TestPeer : public TPeerObject {
  public:
    explicit TestPeer(const TaskFaces& task, PeerKind kind = PeerKind::Http)
        : TPeerObject(kind, task) {}
    ~TestPeer() override { Reset(); }

    bool Receive() override { return receive_result; }
    bool IsUseless() override { return useless; }
    bool IsSeed() const override { return seed; }
    bool Attach(const RefPtr<TPeerId>& source) override {
        if (!TPeerObject::Attach(source)) {
            return false;
        }
        SetState(EnsureConnection().ConnectTo(source->ip, source->port) ? kConnecting : kIdle);
        return IsConnected();
    }
    void Queue(int32_t block, int32_t length = kBlockSize) {
        work_.requests.Push(BlockRequest{block, length, 0});
    }

    bool receive_result = true;
    bool useless = false;
    bool seed = true;
};

class PeerObjectTest : public ::testing::Test {
  protected:
    PeerObjectTest()
        : task_(10 * kPiece, kPiece),
          server_([](ServerConnection& c) { c.WaitForClientClose(); }) {}

    void SetUp() override {
        ASSERT_TRUE(server_.Start());
        source_ = RefPtr<TPeerId>::Make(server_.Url("/dir/file.bin"));
        ASSERT_TRUE(source_->ParseSourceAddress());
    }

    static std::string Block(char fill, int32_t length = kBlockSize) {
        return std::string(static_cast<size_t>(length), fill);
    }
    static std::span<const uint8_t> Bytes(const std::string& text) {
        return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
    }

    FakePeerTask task_;
    ScriptedServer server_;
    RefPtr<TPeerId> source_;
};

TEST_F(PeerObjectTest, ReleaseThroughEitherBaseDeletesTheWholePeer) {
    auto* peer = new TestPeer(task_);
    EXPECT_EQ(peer->RefCount(), 1);
    peer->AddRef();
    EXPECT_EQ(peer->Release(), 1);
    TRefObject* counted = peer;        // the second base: a different address than the object
    EXPECT_EQ(counted->Release(), 0);  // ASan reports a mismatched or partial delete

    RefPtr<TPeerObject> shared = RefPtr<TPeerObject>::Adopt(new TestPeer(task_));
    ASSERT_TRUE(shared->Attach(source_));
    EXPECT_EQ(source_->RefCount(), 2);
    shared.reset();  // destroying an attached peer releases its source
    EXPECT_EQ(source_->RefCount(), 1);
}

TEST_F(PeerObjectTest, AttachRefusesNullInvalidAndTheSameSource) {
    TestPeer peer(task_);
    EXPECT_FALSE(peer.Attach(RefPtr<TPeerId>()));
    RefPtr<TPeerId> no_port = RefPtr<TPeerId>::Make("btnode://10.0.0.1");
    ASSERT_TRUE(no_port->ParseSourceAddress());
    EXPECT_FALSE(peer.Attach(no_port));
    EXPECT_EQ(peer.Source(), nullptr);

    source_->UrlInfo().memory_body = "old";
    source_->UrlInfo().memory_done = true;
    ASSERT_TRUE(peer.Attach(source_));
    EXPECT_TRUE(source_->UrlInfo().memory_body.empty());
    EXPECT_FALSE(source_->UrlInfo().memory_done);
    EXPECT_EQ(peer.GetActivity().last_activity, task_.now);
    EXPECT_TRUE(peer.IsConnected());

    const int32_t references = source_->RefCount();
    task_.now += 50;
    EXPECT_FALSE(peer.Attach(source_));
    EXPECT_EQ(source_->RefCount(), references);
    EXPECT_EQ(peer.GetActivity().last_activity, task_.now - 50);
    EXPECT_TRUE(peer.IsConnected());
}

TEST_F(PeerObjectTest, DeliveryAcceptsOnlyRequestedBlocks) {
    TestPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source_));
    peer.Queue(3);
    peer.Queue(4);

    const std::string a = Block('a');
    EXPECT_FALSE(peer.DeliverBlock(7, Bytes(a)));                // nobody asked for block 7
    EXPECT_FALSE(peer.DeliverBlock(3, Bytes(Block('a', 100))));  // asked with another length
    EXPECT_FALSE(peer.DeliverBlock(-1, Bytes(a)));
    EXPECT_TRUE(task_.writes.empty());
    EXPECT_EQ(peer.Work().requests.size(), 2u);

    task_.now += 5;
    EXPECT_TRUE(peer.DeliverBlock(4, Bytes(a)));
    ASSERT_EQ(task_.writes.size(), 1u);
    EXPECT_EQ(task_.writes[0].block, 4);
    EXPECT_EQ(task_.Stored(4 * kBlockSize, kBlockSize), a);
    EXPECT_EQ(peer.Work().requests.size(), 1u);
    EXPECT_EQ(peer.KibReceived(), 16);
    EXPECT_EQ(task_.payload_by_kind[KindBits(PeerKind::Http)], kBlockSize);
    EXPECT_EQ(peer.GetActivity().last_activity, task_.now);
    // Delivered once: the same block again is no longer requested.
    EXPECT_FALSE(peer.DeliverBlock(4, Bytes(a)));

    // A block in the task's shared list may be delivered by anyone.
    task_.shared_blocks.push_back(BlockRequest{9, kBlockSize, 0});
    EXPECT_TRUE(peer.DeliverBlock(9, Bytes(Block('s'))));
    EXPECT_TRUE(task_.shared_blocks.empty());

    // Until the task knows its size, blocks are accepted and dropped.
    task_.size_known = false;
    EXPECT_TRUE(peer.DeliverBlock(3, Bytes(a)));
    EXPECT_EQ(task_.writes.size(), 2u);
    task_.size_known = true;

    peer.Reset();
    EXPECT_FALSE(peer.DeliverBlock(3, Bytes(a)));  // not connected
}

// The connection that completes a bad piece: a server's starts over and its source counts the bad
// piece; a BT peer stays (the task finds the peer at fault) and counts an error only when it sent
// the whole piece.
TEST_F(PeerObjectTest, BadPieceCountsAgainstPeerAndServerSource) {
    struct Case {
        PeerKind kind;
        bool whole;
        bool kept;
        int32_t errors;
        int32_t bad_pieces;
    };
    for (const Case& c :
         {Case{PeerKind::Http, true, false, 1, 1}, Case{PeerKind::Http, false, false, 1, 0},
          Case{PeerKind::BtNode, true, true, 1, 1}, Case{PeerKind::BtNode, false, true, 0, 0}}) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(c.kind) << " whole " << c.whole);
        source_->UrlInfo().bad_pieces = 0;
        task_.failing_pieces = {0};
        task_.failing_whole = c.whole;
        TestPeer peer(task_, c.kind);
        ASSERT_TRUE(peer.Attach(source_));
        for (int32_t block = 0; block < 4; ++block) {
            peer.Queue(block);
            if (c.kind == PeerKind::BtNode) {
                peer.Work().requests.MarkSent();  // a BT peer's answers match sent requests only
            }
        }
        for (int32_t block = 0; block < 3; ++block) {
            EXPECT_TRUE(peer.DeliverBlock(block, Bytes(Block('x'))));
        }
        EXPECT_EQ(peer.DeliverBlock(3, Bytes(Block('x'))), c.kept);  // completes the bad piece
        EXPECT_EQ(peer.Errors(), c.errors);
        EXPECT_EQ(source_->UrlInfo().bad_pieces, c.bad_pieces);
    }
}

TEST_F(PeerObjectTest, PlanRequestsQueuesMissingBlocksOfTheNextPiece) {
    TestPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source_));
    task_.MarkPieceDone(0);
    // Piece 1 has its second block already.
    ASSERT_TRUE(peer.DeliverBlock(0, {}) == false);
    task_.shared_blocks.push_back(BlockRequest{5, kBlockSize, 0});
    ASSERT_TRUE(peer.DeliverBlock(5, Bytes(Block('q'))));

    ASSERT_TRUE(peer.PlanRequests());
    std::vector<int32_t> blocks;
    for (const BlockRequest& request : peer.Work().requests) {
        blocks.push_back(request.block);
        EXPECT_EQ(request.length, kBlockSize);
    }
    EXPECT_EQ(blocks, (std::vector<int32_t>{4, 6, 7}));
    EXPECT_EQ(peer.GetActivity().current_piece, 1);

    // At rate 0 the queue keeps about 2 requests: three are enough.
    ASSERT_TRUE(peer.PlanRequests());
    EXPECT_EQ(peer.Work().requests.size(), 3u);
    // A fast connection keeps more in flight: rate × 2 ÷ 16 KiB + 2 = 10.
    peer.SetRates(4 * kBlockSize, 0);
    ASSERT_TRUE(peer.PlanRequests());
    EXPECT_EQ(peer.Work().requests.size(), 7u);
    EXPECT_EQ(peer.Work().requests.back().block, 11);
    ASSERT_TRUE(peer.PlanRequests());
    EXPECT_EQ(peer.Work().requests.size(), 11u);
    ASSERT_TRUE(peer.PlanRequests());
    EXPECT_EQ(peer.Work().requests.size(), 11u);
}

TEST_F(PeerObjectTest, ServerPeerFollowsAPreferredPieceThatJumped) {
    TestPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source_));
    ASSERT_TRUE(peer.PlanRequests());  // piece 0, preferred not set
    EXPECT_EQ(task_.take_preferred_calls, 0);

    task_.preferred_piece = 5;  // within 6 of -1: no jump yet
    peer.Work().requests.Clear();
    ASSERT_TRUE(peer.PlanRequests());
    EXPECT_EQ(task_.take_preferred_calls, 0);

    task_.preferred_piece = 9;  // 4 away from the last preferred piece seen (5)
    peer.Work().requests.Clear();
    ASSERT_TRUE(peer.PlanRequests());
    EXPECT_EQ(task_.take_preferred_calls, 0);

    peer.Work().preferred_seen = 1;  // the reader was at 1 and is now at 9
    peer.Work().requests.Clear();
    Range held;
    held.holder = &peer.Work();
    peer.Work().range = &held;
    ASSERT_TRUE(peer.PlanRequests());
    EXPECT_EQ(task_.take_preferred_calls, 1);
    EXPECT_EQ(task_.release_range_calls, 1);
    EXPECT_EQ(held.holder, nullptr);
    ASSERT_FALSE(peer.Work().requests.empty());
    EXPECT_EQ(peer.Work().requests.front().block, 9 * 4);
    EXPECT_EQ(task_.range.current, 9);
}

TEST_F(PeerObjectTest, ResetGivesEverythingBack) {
    TestPeer peer(task_);
    source_->connections = 1;  // raised by the task when it attached the peer
    ASSERT_TRUE(peer.Attach(source_));
    peer.Queue(2);
    peer.Queue(3);
    Range range;
    peer.Work().range = &range;
    range.holder = &peer.Work();

    peer.Reset();
    EXPECT_EQ(task_.shared_blocks.size(), 2u);
    EXPECT_TRUE(peer.Work().requests.empty());
    EXPECT_EQ(peer.Work().range, nullptr);
    EXPECT_EQ(range.holder, nullptr);
    EXPECT_EQ(task_.release_range_calls, 1);
    EXPECT_EQ(source_->connections, 0);
    EXPECT_EQ(source_->RefCount(), 1);
    EXPECT_EQ(peer.Source(), nullptr);
    EXPECT_FALSE(peer.IsConnected());
    EXPECT_EQ(peer.State(), TPeerObject::kIdle);
    // The connection object stays for reuse.
    EXPECT_NE(peer.Connection(), nullptr);
    EXPECT_FALSE(peer.Pump());
}

TEST_F(PeerObjectTest, DroppableRules) {
    TestPeer peer(task_);
    EXPECT_TRUE(peer.IsDroppable(false));  // not connected
    ASSERT_TRUE(peer.Attach(source_));
    EXPECT_FALSE(peer.IsDroppable(false));

    peer.useless = true;
    EXPECT_TRUE(peer.IsDroppable(false));
    EXPECT_FALSE(peer.IsDroppable(true));
    peer.useless = false;

    for (int32_t piece = 0; piece < 10; ++piece) {
        task_.MarkPieceDone(piece);
    }
    EXPECT_TRUE(peer.IsDroppable(false));  // a seed once the task is complete
    peer.seed = false;
    EXPECT_FALSE(peer.IsDroppable(false));
}

TEST_F(PeerObjectTest, PumpRunsTheTickAndStopsAtTheFirstRefusal) {
    TestPeer peer(task_);
    ASSERT_TRUE(peer.Attach(source_));
    peer.MutableActivity().stall_count = 3;
    EXPECT_TRUE(peer.Pump());
    EXPECT_FALSE(peer.Work().requests.empty());  // PlanRequests ran

    peer.receive_result = false;
    EXPECT_FALSE(peer.Pump());

    // A BT peer is dropped while peer-to-peer is off.
    TestPeer bt(task_, PeerKind::BtNode);
    RefPtr<TPeerId> node =
        RefPtr<TPeerId>::Make("btnode://127.0.0.1:" + std::to_string(server_.Port()));
    ASSERT_TRUE(node->ParseSourceAddress());
    ASSERT_TRUE(bt.Attach(node));
    task_.p2p_enabled = false;
    EXPECT_FALSE(bt.Pump());
    task_.p2p_enabled = true;
    EXPECT_TRUE(bt.Pump());
}

}  // namespace
}  // namespace kf
