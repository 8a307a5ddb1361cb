// The block scheduler's engagement and end game, shared block list, BT requests and BT piece
// choice.

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "engine/task/BlockScheduler.h"
#include "support/FakeSchedulingContext.h"

namespace {

using kf::BlockRequest;
using kf::BlockScheduler;
using kf::kBlockSize;
using kf::PeerWork;
using kf::PieceIndex;
using kf::test::Bits;
using kf::test::BtPeer;
using kf::test::Chosen;
using kf::test::FakeSchedulingContext;
using kf::test::Piece;
using kf::test::Server;
using kf::test::Slots;

// --- Engagement and end game --------------------------------------------------------------

TEST(BlockScheduler, EngagementCapFollowsConnectionsAndRemainingPieces) {
    FakeSchedulingContext ctx(100);
    for (int32_t p = 0; p < 97; ++p) {
        ctx.Verify(p);
    }
    ctx.active = 200;
    BlockScheduler s(ctx);
    // Three remaining pieces, each engaged once: end game; then cap max(66 - 3, 1) + 1 = 64.
    for (int32_t p = 97; p < 100; ++p) {
        ASSERT_TRUE(s.EngagePiece(Piece(p)));
    }
    EXPECT_TRUE(s.InEndGame());
    while (s.EngagePiece(Piece(97))) {
    }
    EXPECT_EQ(s.EngagedCount(Piece(97)), 64);

    FakeSchedulingContext wide(100);
    wide.active = 30;
    BlockScheduler t(wide);
    ASSERT_TRUE(t.WantsPiece(Piece(5)));
    ASSERT_TRUE(t.EngagePiece(Piece(5)));
    EXPECT_FALSE(t.WantsPiece(Piece(5)));
    EXPECT_FALSE(t.EngagePiece(Piece(5))) << "a second engagement outside end game";
    for (int32_t p = 0; p < 99; ++p) {
        if (p != 5) {
            ASSERT_TRUE(t.EngagePiece(Piece(p)));
        }
    }
    EXPECT_FALSE(t.InEndGame());
    ASSERT_TRUE(t.EngagePiece(Piece(99)));  // 100 entries for 100 remaining pieces
    EXPECT_TRUE(t.WantsPiece(Piece(5)));
    EXPECT_TRUE(t.EngagePiece(Piece(5)));  // cap max(64 - 100, 1) = 1: twice in all
    EXPECT_FALSE(t.EngagePiece(Piece(5)));
}

TEST(BlockScheduler, VerifiedAndFailedPiecesAndTheStickyEndGame) {
    FakeSchedulingContext ctx(4);
    BlockScheduler s(ctx);
    for (int32_t p = 0; p < 4; ++p) {
        ASSERT_TRUE(s.EngagePiece(Piece(p)));
    }
    ASSERT_TRUE(s.EngagePiece(Piece(2)));
    ctx.finishing[1] = true;
    EXPECT_FALSE(s.IsPieceNeeded(Piece(1)));
    EXPECT_FALSE(s.IsPieceNeeded(Piece(4)));
    EXPECT_FALSE(s.IsPieceNeeded(Piece(-1)));

    ctx.Verify(2);
    s.OnPieceVerified(Piece(2));
    EXPECT_EQ(s.EngagedCount(Piece(2)), 0);
    EXPECT_EQ(s.EngagedTotal(), 3);
    s.PieceFailed(Piece(3));
    s.PieceFailed(Piece(3));  // nothing left to release: no underflow
    EXPECT_EQ(s.EngagedCount(Piece(3)), 0);
    EXPECT_EQ(s.EngagedTotal(), 2);
    // 2 entries for 3 remaining: the live flag is off, the sticky copy holds until cleared.
    EXPECT_TRUE(s.InEndGame());
    s.ClearStickyEndGame();
    EXPECT_FALSE(s.InEndGame());
    EXPECT_EQ(s.TakeHaveAnnouncements(), std::vector<PieceIndex>{Piece(2)});
    EXPECT_TRUE(s.TakeHaveAnnouncements().empty());
}

// --- Shared blocks and BT requests --------------------------------------------------------

TEST(BlockScheduler, SharedBlocksGoToAPeerThatHasTheirPiece) {
    FakeSchedulingContext ctx(8);
    BlockScheduler s(ctx);
    std::deque<BlockRequest> returned = {{0, kBlockSize, 0},
                                         {1, kBlockSize, 0},
                                         {8, kBlockSize, 0},
                                         {9, kBlockSize, 0},
                                         {10, kBlockSize, 0}};
    s.ReturnBlocks(returned);
    ASSERT_EQ(s.SharedBlocks().size(), 5u);

    PeerWork peer = BtPeer(8, {{2, 2}});
    peer.requests.Push({9, kBlockSize, 0});
    ctx.done_blocks[2].insert(10);
    EXPECT_TRUE(s.TakeSharedBlocks(peer, 0));
    // Block 8 moved, 9 was queued already (stays shared), 10 is held (dropped).
    ASSERT_EQ(peer.requests.size(), 2u);
    EXPECT_EQ(peer.requests[1].block, 8);
    EXPECT_EQ(peer.requests[1].queued_at, 7u);
    EXPECT_EQ(s.SharedBlocks().size(), 3u);
    PeerWork stranger = BtPeer(8, {{5, 7}});
    EXPECT_FALSE(s.TakeSharedBlocks(stranger, 0));

    ctx.stopping = true;
    std::deque<BlockRequest> late = {{20, kBlockSize, 0}};
    s.ReturnBlocks(late);
    EXPECT_EQ(s.SharedBlocks().size(), 3u);
    for (int32_t p = 0; p < 8; ++p) {
        ctx.Verify(p);
    }
    s.SharedBlockUpkeep();
    EXPECT_TRUE(s.SharedBlocks().empty());
}

TEST(BlockScheduler, BtRequestsFollowTheRateAndNeverAskForHeldBlocks) {
    FakeSchedulingContext ctx(8);
    BlockScheduler s(ctx);
    PeerWork slow = BtPeer(8, {{3, 3}});
    // Rate 0: take limit 2, the piece's other blocks go to the shared list.
    BlockScheduler::BtPlan plan = s.PlanBtRequests(slow);
    EXPECT_TRUE(plan.ran);
    EXPECT_EQ(plan.queued, 2);
    EXPECT_EQ(plan.shared, 2);
    EXPECT_EQ(slow.requests[0].block, 12);
    EXPECT_EQ(s.EngagedCount(Piece(3)), 1);
    EXPECT_FALSE(s.PlanBtRequests(slow).ran) << "queue already at its limit";

    // A faster peer (queue limit 8, take limit 10) on a partly present piece.
    PeerWork fast = BtPeer(8, {{5, 5}});
    fast.download_rate = 4 * kBlockSize;
    ctx.done_blocks[5] = {20, 22};  // block 20 is contiguous from the start, 22 is not
    plan = s.PlanBtRequests(fast);
    ASSERT_EQ(fast.requests.size(), 2u);
    EXPECT_EQ(fast.requests[0].block, 21);
    EXPECT_EQ(fast.requests[1].block, 23);

    // A piece chosen with nothing left to ask for does not stay engaged.
    PeerWork third = BtPeer(8, {{6, 6}});
    ctx.done_blocks[6] = {24, 25, 26, 27};
    s.PlanBtRequests(third);
    EXPECT_TRUE(third.requests.empty());
    EXPECT_EQ(s.EngagedCount(Piece(6)), 0);

    for (int32_t p = 0; p < 8; ++p) {
        ctx.Verify(p);
    }
    EXPECT_TRUE(s.PlanBtRequests(fast).complete);
}

TEST(BlockScheduler, EndGameSharesEachBlockOnce) {
    FakeSchedulingContext ctx(2);
    BlockScheduler s(ctx);
    std::deque<BlockRequest> returned = {
        {3, kBlockSize, 0}, {6, kBlockSize, 0}, {7, kBlockSize, 0}};
    s.ReturnBlocks(returned);
    ASSERT_TRUE(s.EngagePiece(Piece(0)));
    ASSERT_TRUE(s.EngagePiece(Piece(1)));
    ASSERT_TRUE(s.InEndGame());
    // Takes block 3 from the shared list, then piece 1 again (end game): block 4 is queued,
    // block 5 shared, and blocks 6 and 7 are shared already.
    PeerWork peer = BtPeer(2, {{0, 1}});
    s.PlanBtRequests(peer);
    ASSERT_EQ(peer.requests.size(), 2u);
    EXPECT_EQ(peer.requests[0].block, 3);
    EXPECT_EQ(peer.requests[1].block, 4);
    EXPECT_EQ(s.EngagedCount(Piece(1)), 2);
    ASSERT_EQ(s.SharedBlocks().size(), 3u);
    EXPECT_EQ(s.SharedBlocks()[2].block, 5);
}

// --- BT piece choice ----------------------------------------------------------------------

TEST(BlockScheduler, BtChoiceOrder) {
    FakeSchedulingContext ctx(40);
    ctx.files = {{0, 10, 10 * ctx.length, 0, false},
                 {10, 10, 10 * ctx.length, 2, false},
                 {20, 10, 10 * ctx.length, 1, true},
                 {30, 10, 0, 2, false}};
    BlockScheduler s(ctx);
    PeerWork peer = BtPeer(40, {{0, 39}});
    // The preferred piece first, then the partial pieces, then the high-priority file.
    s.SetPreferredPiece(Piece(33));
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 33);
    s.SetPreferredPiece(std::nullopt);
    ctx.partial = {4};
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 4);
    ctx.partial.clear();
    for (int i = 0; i < 9; ++i) {
        const int32_t p = Chosen(s.NextBtPiece(peer));
        EXPECT_GT(p, 10) << "priority 2 file, never its first piece while others are left";
        EXPECT_LT(p, 20);
    }
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 10) << "the first piece once all else failed";
    const int32_t p = Chosen(s.NextBtPiece(peer));
    EXPECT_TRUE(p >= 0 && p < 10) << "then priority 0; the skipped and empty files never";

    // Whatever the tick, a file's first piece is not where a peer starts.
    for (uint32_t tick = 0; tick < 64; ++tick) {
        FakeSchedulingContext fresh(40);
        fresh.files = ctx.files;
        fresh.tick = tick * 977;
        fresh.tick_step = 13;
        BlockScheduler t(fresh);
        EXPECT_NE(Chosen(t.NextBtPiece(peer)), 10);
    }

    // With server candidates and no ranges yet, BT waits during the first minute.
    ctx.slots = Slots(1, 1);
    ctx.thread_seconds = 30;
    BlockScheduler waiting(ctx);
    EXPECT_EQ(Chosen(waiting.NextBtPiece(peer)), -1);
    EXPECT_FALSE(peer.nothing_to_pick);
}

TEST(BlockScheduler, NothingToPickWaitsSixtySecondsOrForAnAnnouncement) {
    FakeSchedulingContext ctx(16);
    BlockScheduler s(ctx);
    ctx.Verify(3);
    PeerWork peer = BtPeer(16, {{3, 3}});
    EXPECT_FALSE(s.PlanBtRequests(peer).queued);
    EXPECT_TRUE(peer.nothing_to_pick);
    EXPECT_EQ(peer.nothing_to_pick_since, 1000);
    ctx.now += 59;
    EXPECT_FALSE(s.PlanBtRequests(peer).ran);
    ctx.now += 1;
    EXPECT_TRUE(s.PlanBtRequests(peer).ran);
    EXPECT_EQ(peer.nothing_to_pick_since, 1000) << "the streak keeps its start";
    ctx.now += 1;
    EXPECT_FALSE(s.PlanBtRequests(peer).ran) << "the next retry is again 60 s later";

    s.OnPeerAnnounced(peer, Piece(3));  // verified already: no reason to look
    EXPECT_TRUE(peer.nothing_to_pick);
    peer.has = Bits(16, {{3, 3}, {9, 9}});
    s.OnPeerAnnounced(peer, Piece(9));
    EXPECT_FALSE(peer.nothing_to_pick);
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 9);
}

TEST(BlockScheduler, PrivateRunsComeFromRangeTailsAndStopAtGaps) {
    FakeSchedulingContext ctx(40);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork server = Server(100000);
    ASSERT_EQ(Chosen(s.NextServerPiece(server)), 0);
    // Pieces 34..39 make 24 blocks; 20..31 are had too but lie below a gap.
    PeerWork peer = BtPeer(40, {{20, 31}, {34, 39}});
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 39);
    ASSERT_NE(peer.private_range, nullptr);
    EXPECT_EQ(peer.private_range->start, 34);
    for (int32_t p = 34; p <= 39; ++p) {
        EXPECT_EQ(s.EngagedCount(Piece(p)), 1);
    }
    EXPECT_EQ(s.EngagedCount(Piece(31)), 0);
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 38);
    EXPECT_EQ(Chosen(s.NextServerPiece(server)), 1);
    // Leaving: the pieces not yet handed out are released, the queued blocks shared.
    peer.requests.Push({38 * 4, kBlockSize, 0});
    s.OnPeerLeaving(peer);
    EXPECT_EQ(peer.private_range, nullptr);
    EXPECT_EQ(peer.range, nullptr);
    EXPECT_EQ(s.EngagedCount(Piece(37)), 0);
    EXPECT_EQ(s.EngagedCount(Piece(38)), 1);
    EXPECT_EQ(s.SharedBlocks().size(), 1u);
}

TEST(BlockScheduler, PrivateRunsTakeAtMostHalfOfARangesRest) {
    // 40 pieces of 4 blocks in one server range; the BT peer has every piece.
    struct Case {
        const char* name;
        int32_t server_pieces;  // pieces the server took first (from 0); 0: it left at once
        int32_t run_start;      // -1: no private run
        int32_t bt_first;       // the BT peer's first piece
    };
    const Case cases[] = {
        {"held at its first piece: the server keeps 1..20", 1, 21, 39},
        {"held further on: the upper half of 11..39", 11, 26, 39},
        {"free range: the upper half of all of it", 0, 20, 39},
        {"rest too short for a half run: one tail piece", 31, -1, 39},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSchedulingContext ctx(40);
        ctx.slots = Slots(1, 1);
        BlockScheduler s(ctx);
        PeerWork server = Server(100000);
        ASSERT_EQ(Chosen(s.NextServerPiece(server)), 0);
        for (int32_t p = 1; p < c.server_pieces; ++p) {
            ASSERT_EQ(Chosen(s.NextServerPiece(server)), p);
        }
        if (c.server_pieces == 0) {
            s.OnPeerLeaving(server);
        }
        PeerWork peer = BtPeer(40, {{0, 39}});
        EXPECT_EQ(Chosen(s.NextBtPiece(peer)), c.bt_first);
        if (c.run_start < 0) {
            EXPECT_EQ(peer.private_range, nullptr);
            continue;
        }
        ASSERT_NE(peer.private_range, nullptr);
        EXPECT_EQ(peer.private_range->start, c.run_start);
        EXPECT_EQ(peer.private_range->end, 39);
        // A server connection goes on up to the run (the run's pieces are the peer's); before, a
        // run reached down to the holder's current piece and the holder was dropped with nothing to
        // fetch after its first piece.
        PeerWork next = Server(100000);
        PeerWork& fetcher = c.server_pieces == 0 ? next : server;
        for (int32_t p = 0; p < c.server_pieces; ++p) {
            ctx.Verify(p);
        }
        for (int32_t p = c.server_pieces; p < c.run_start; ++p) {
            ASSERT_EQ(Chosen(s.NextServerPiece(fetcher)), p);
            ctx.Verify(p);
        }
        // Only the run's pieces are left, all engaged by the peer: the end game, where the
        // server may share them.
        EXPECT_TRUE(s.InEndGame());
    }
}

TEST(BlockScheduler, BtTakesTailsAndWhatServersLeftBehind) {
    FakeSchedulingContext ctx(20);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork server = Server(100);
    for (int32_t p = 0; p <= 10; ++p) {
        ASSERT_EQ(Chosen(s.NextServerPiece(server)), p);
    }
    for (int32_t p = 11; p <= 18; ++p) {
        ctx.Verify(p);
    }
    // The tail goes to BT; the holder's current piece only to a peer over three times faster.
    PeerWork peer = BtPeer(20, {{10, 10}, {19, 19}});
    peer.download_rate = 200;
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 19);
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), -1);
    peer.nothing_to_pick = false;
    peer.download_rate = 1000;
    EXPECT_EQ(Chosen(s.NextBtPiece(peer)), 10);

    // The server leaves; pieces it passed over stay reachable for BT peers.
    s.OnPeerLeaving(server);
    PeerWork late = BtPeer(20, {{2, 2}});
    EXPECT_EQ(Chosen(s.NextBtPiece(late)), 2);
}

}  // namespace

// --- Pieces fetched again from one peer ---------------------------------------------------

// A piece that failed among several peers goes to one peer, whole: its shared blocks and
// engagements go; a suspect gets it only after kSoloSuspectWait unless nobody else takes it; no
// other peer touches it while the holder has requests for it; verified, it is ordinary again.
TEST(BlockScheduler, AFailedPieceIsFetchedAgainFromOnePeerAlone) {
    constexpr uint32_t kSuspect = 0x0A00007F;
    constexpr uint32_t kOther = 0x0B00007F;
    FakeSchedulingContext ctx(8);
    BlockScheduler s(ctx);
    s.ReturnBlocks({{8, kBlockSize, 0}, {9, kBlockSize, 0}, {13, kBlockSize, 0}});
    ASSERT_TRUE(s.EngagePiece(Piece(2)));
    s.PieceFailed(Piece(2));
    ASSERT_TRUE(s.EngagePiece(Piece(2)));  // another peer's engagement, dropped with the piece
    s.FetchFromOnePeer(Piece(2), {kSuspect});
    EXPECT_TRUE(s.IsSoloPiece(Piece(2)));
    EXPECT_EQ(s.EngagedCount(Piece(2)), 0);
    ASSERT_EQ(s.SharedBlocks().size(), 1u);
    EXPECT_EQ(s.SharedBlocks()[0].block, 13);

    PeerWork suspect = BtPeer(8, {{2, 2}});
    suspect.address = kSuspect;
    EXPECT_EQ(Chosen(s.NextBtPiece(suspect)), -1);
    EXPECT_FALSE(suspect.nothing_to_pick) << "asks again on its next turn";

    // A slow peer (take limit 2) queues every block of it and shares none.
    PeerWork other = BtPeer(8, {{2, 2}});
    other.address = kOther;
    const BlockScheduler::BtPlan plan = s.PlanBtRequests(other);
    EXPECT_EQ(plan.shared, 0);
    std::vector<int32_t> blocks;
    for (const BlockRequest& request : other.requests) {
        blocks.push_back(request.block);
    }
    EXPECT_EQ(blocks, (std::vector<int32_t>{8, 9, 10, 11}));
    EXPECT_EQ(s.EngagedCount(Piece(2)), 1);

    ctx.now += BlockScheduler::kSoloSuspectWait;
    PeerWork third = BtPeer(8, {{2, 2}, {3, 3}});
    EXPECT_EQ(Chosen(s.NextBtPiece(third)), 3) << "held by the other peer";
    EXPECT_EQ(Chosen(s.NextBtPiece(suspect)), -1);
    EXPECT_TRUE(suspect.nothing_to_pick);

    // The holder lets go (its requests went); the suspect's wait is over.
    other.requests.Clear();
    suspect.nothing_to_pick = false;
    EXPECT_EQ(Chosen(s.NextBtPiece(suspect)), 2);
    EXPECT_EQ(s.EngagedCount(Piece(2)), 1);

    ctx.Verify(2);
    s.OnPieceVerified(Piece(2));
    EXPECT_FALSE(s.IsSoloPiece(Piece(2)));
}

// Once the suspect is banned, the others need not wait; a reset forgets every such piece.
TEST(BlockScheduler, ABannedSuspectFreesThePieceAtOnce) {
    constexpr uint32_t kLiar = 0x0A00007F;
    constexpr uint32_t kHonest = 0x0B00007F;
    FakeSchedulingContext ctx(8);
    BlockScheduler s(ctx);
    s.FetchFromOnePeer(Piece(5), {kLiar, kHonest});
    PeerWork honest = BtPeer(8, {{5, 5}});
    honest.address = kHonest;
    EXPECT_EQ(Chosen(s.NextBtPiece(honest)), -1);
    s.OnPeerBanned(kLiar);
    EXPECT_EQ(Chosen(s.NextBtPiece(honest)), 5);
    s.Reset();
    EXPECT_FALSE(s.IsSoloPiece(Piece(5)));
}
