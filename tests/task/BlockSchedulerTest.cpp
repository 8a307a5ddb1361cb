#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <set>

#include "engine/task/BlockScheduler.h"

namespace {

using kf::BlockRequest;
using kf::BlockScheduler;
using kf::ContentBlock;
using kf::FileIndex;
using kf::kBlockSize;
using kf::PeerWork;
using kf::PieceIndex;
using kf::Range;
using kf::SchedulingFile;
using kf::ServerSlot;

class FakeContext : public kf::SchedulingContext {
  public:
    explicit FakeContext(int32_t pieces, int32_t blocks_per_piece = 4)
        : count(pieces),
          length(blocks_per_piece * kBlockSize),
          verified(pieces, false),
          finishing(pieces, false),
          done_blocks(pieces) {
        files.push_back({0, pieces, static_cast<int64_t>(pieces) * length, 0, false});
    }

    void Verify(int32_t p) { SetVerified(p, true); }
    void SetVerified(int32_t p, bool on) {
        if (verified[static_cast<size_t>(p)] != on) {
            verified[static_cast<size_t>(p)] = on;
            verified_count += on ? 1 : -1;
        }
    }

    bool PieceMapReady() override { return ready; }
    int32_t PieceCount() override { return count; }
    int32_t PieceLength() override { return length; }
    int32_t VerifiedCount() override { return verified_count; }
    bool IsVerified(PieceIndex piece) override { return VerifiedAt(At(piece)); }
    bool IsBeingFinished(PieceIndex piece) override {
        const int32_t p = At(piece);
        return Valid(p) && finishing[static_cast<size_t>(p)];
    }
    int32_t BytesDone(PieceIndex piece) override {
        const int32_t p = At(piece);
        if (VerifiedAt(p)) {
            return length;
        }
        int32_t block = p * length / kBlockSize;
        while (done_blocks[static_cast<size_t>(p)].count(block) > 0) {
            ++block;
        }
        return block * kBlockSize - p * length;
    }
    int32_t PieceSize(PieceIndex piece) override { return Valid(At(piece)) ? length : 0; }
    bool IsBlockDone(ContentBlock at, int32_t) override {
        const auto block = static_cast<int32_t>(at.value());
        const int32_t p = block * kBlockSize / length;
        return VerifiedAt(p) || done_blocks[static_cast<size_t>(p)].count(block) > 0;
    }
    std::vector<PieceIndex> PartialPieces() override {
        return std::vector<PieceIndex>(partial.begin(), partial.end());
    }
    int32_t FileCount() override { return static_cast<int32_t>(files.size()); }
    SchedulingFile File(FileIndex i) override { return files[static_cast<size_t>(i.value())]; }
    int32_t ActiveConnections() override { return active; }
    bool HasServerCandidates() override { return !slots.empty(); }
    std::vector<ServerSlot> ServerSlots() override { return slots; }
    void ApplyServerSlots(const std::vector<ServerSlot>& s) override { slots = s; }
    int64_t ThreadSeconds() override { return thread_seconds; }
    bool RandomStart() override { return random_start; }
    bool P2PEnabled() override { return true; }
    bool IsStopping() override { return stopping; }
    uint32_t Tick() override { return tick += tick_step; }
    int64_t Now() override { return now; }
    uint32_t QueueClock() override { return 7; }

    static int32_t At(PieceIndex piece) { return static_cast<int32_t>(piece.value()); }
    bool Valid(int32_t p) const { return p >= 0 && p < count; }
    bool VerifiedAt(int32_t p) const { return Valid(p) && verified[static_cast<size_t>(p)]; }

    bool ready = true;
    int32_t count;
    int32_t length;
    std::vector<bool> verified;
    int32_t verified_count = 0;
    std::vector<bool> finishing;
    std::vector<std::set<int32_t>> done_blocks;  // held blocks of unverified pieces
    std::vector<int32_t> partial;
    std::vector<SchedulingFile> files;
    std::vector<ServerSlot> slots;
    int32_t active = 10;
    int64_t thread_seconds = 1000;
    bool random_start = true;
    bool stopping = false;
    uint32_t tick = 0;
    uint32_t tick_step = 0;  // 0: every tick reads 0
    int64_t now = 1000;
};

PieceIndex Piece(int32_t piece) {
    return PieceIndex(piece);
}

// A piece choice as a number, -1 for none.
int32_t Chosen(std::optional<PieceIndex> piece) {
    return piece ? static_cast<int32_t>(piece->value()) : -1;
}

std::vector<uint8_t> Bits(int32_t count, std::initializer_list<std::pair<int32_t, int32_t>> runs) {
    std::vector<uint8_t> bits(static_cast<size_t>((count + 7) / 8), 0);
    for (auto [lo, hi] : runs) {
        for (int32_t p = lo; p <= hi; ++p) {
            bits[static_cast<size_t>(p / 8)] |= static_cast<uint8_t>(0x80 >> (p % 8));
        }
    }
    return bits;
}

PeerWork BtPeer(int32_t count, std::initializer_list<std::pair<int32_t, int32_t>> runs) {
    PeerWork peer;
    peer.kind = 1;
    peer.has = Bits(count, runs);
    return peer;
}

PeerWork Server(int32_t rate) {
    PeerWork peer;
    peer.kind = 2;
    peer.download_rate = rate;
    return peer;
}

std::vector<ServerSlot> Slots(int n, int32_t max_connections) {
    std::vector<ServerSlot> slots(static_cast<size_t>(n));
    for (auto& slot : slots) {
        slot.max_connections = max_connections;
    }
    return slots;
}

std::vector<std::pair<int32_t, int32_t>> Spans(const BlockScheduler& s) {
    std::vector<std::pair<int32_t, int32_t>> out;
    for (size_t i = 0; i < s.RangeCount(); ++i) {
        out.emplace_back(s.RangeAt(i).start, s.RangeAt(i).end);
    }
    return out;
}

using SpanList = std::vector<std::pair<int32_t, int32_t>>;

// --- Engagement and end game --------------------------------------------------------------

TEST(BlockScheduler, EngagementCapFollowsConnectionsAndRemainingPieces) {
    FakeContext ctx(100);
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

    FakeContext wide(100);
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
    FakeContext ctx(4);
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
    FakeContext ctx(8);
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
    FakeContext ctx(8);
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
    FakeContext ctx(2);
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
    FakeContext ctx(40);
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
        FakeContext fresh(40);
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
    FakeContext ctx(16);
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
    FakeContext ctx(40);
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

TEST(BlockScheduler, BtTakesTailsAndWhatServersLeftBehind) {
    FakeContext ctx(20);
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

// --- Server ranges ------------------------------------------------------------------------

TEST(BlockScheduler, BuildRangesSplitsAmongSources) {
    FakeContext ctx(10);
    BlockScheduler s(ctx);
    auto slots = Slots(1, 5);
    s.BuildRanges(slots);
    EXPECT_EQ(Spans(s), (SpanList{{0, 2}, {3, 5}, {6, 9}}));
    EXPECT_EQ(slots[0].max_connections, 3);
    slots = Slots(1, 0);  // no limit recorded: one range rather than a division by zero
    s.BuildRanges(slots);
    EXPECT_EQ(Spans(s), (SpanList{{0, 9}}));

    FakeContext few(3);
    BlockScheduler t(few);
    slots = Slots(5, 4);
    t.BuildRanges(slots);
    EXPECT_EQ(Spans(t), (SpanList{{0, 0}, {1, 1}, {2, 2}}));

    // A torrent line and a fetch-to-memory record neither count nor take a share.
    slots = Slots(4, 1);
    slots[0].torrent_line = slots[0].fetch_to_memory = true;
    slots[2].fetch_to_memory = true;
    s.BuildRanges(slots);
    EXPECT_EQ(Spans(s), (SpanList{{0, 4}, {5, 9}}));
}

TEST(BlockScheduler, AssignRangeOrderAndSteals) {
    FakeContext ctx(100, 1);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork slow = Server(1000);
    for (int32_t p = 0; p <= 10; ++p) {
        ASSERT_EQ(Chosen(s.NextServerPiece(slow)), p);
    }
    // 90 left. m = 3000 * 100 / 4000 = 75, +1 for a slow holder: 68 pieces, +1 = 69.
    PeerWork fast = Server(3000);
    fast.ranges_held = 1;
    ASSERT_EQ(Chosen(s.NextServerPiece(fast)), 31);
    EXPECT_EQ(Spans(s), (SpanList{{0, 30}, {31, 99}}));

    // A holder stuck on its first piece for more than 10 s is replaced.
    PeerWork third = Server(1000);
    third.ranges_held = 1;
    ctx.now += 11;
    slow.download_rate = 0;
    Range* stalled = fast.range;
    ASSERT_EQ(Chosen(s.NextServerPiece(third)), 31);
    EXPECT_EQ(third.range, stalled);
    EXPECT_EQ(fast.range, nullptr);
    EXPECT_TRUE(stalled->taken_by_stall);

    s.ReleaseRange(third);
    PeerWork fourth = Server(1000);
    fourth.last_piece = 30;
    EXPECT_EQ(Chosen(s.NextServerPiece(fourth)), 31)
        << "the free range that continues its last piece";
}

TEST(BlockScheduler, StealingTheLastPieceNeedsAMuchFasterAsker) {
    FakeContext ctx(4, 1);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork holder = Server(1000);
    for (int32_t p = 0; p < 4; ++p) {
        ASSERT_EQ(Chosen(s.NextServerPiece(holder)), p);
        holder.requests.Clear();
        holder.requests.Push({p, kBlockSize, 0});
    }
    for (int32_t p = 0; p < 3; ++p) {
        ctx.Verify(p);
    }
    ctx.now += 20;
    PeerWork twice = Server(2500);
    twice.ranges_held = 1;
    EXPECT_EQ(Chosen(s.NextServerPiece(twice)), -1) << "two connections on one piece otherwise";
    EXPECT_EQ(holder.requests.size(), 1u);

    PeerWork thrice = Server(3000);
    thrice.ranges_held = 1;
    EXPECT_EQ(Chosen(s.NextServerPiece(thrice)), 3);
    EXPECT_EQ(holder.range, nullptr);
    EXPECT_TRUE(holder.requests.empty()) << "the old holder's blocks of piece 3 are dropped";
}

TEST(BlockScheduler, RangeEndsKeepUntilOwnBlocksAreInThenRedoOrGo) {
    FakeContext ctx(4, 1);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork a = Server(1000);
    for (int32_t p = 0; p < 4; ++p) {
        ASSERT_EQ(Chosen(s.NextServerPiece(a)), p);
    }
    a.requests.Push({3, kBlockSize, 0});
    PeerWork b = Server(1000);
    b.ranges_held = 1;
    EXPECT_EQ(Chosen(s.NextServerPiece(a)), -1);
    EXPECT_NE(a.range, nullptr) << "piece 3 is still on its way";
    EXPECT_EQ(Chosen(s.NextServerPiece(b)), -1);

    // Piece 1 failed meanwhile; piece 3 arrives.
    for (int32_t p : {0, 2, 3}) {
        ctx.Verify(p);
    }
    a.requests.Clear();
    EXPECT_EQ(Chosen(s.NextServerPiece(a)), 1) << "the range is passed again for piece 1";
    ctx.Verify(1);
    a.requests.Clear();
    EXPECT_EQ(Chosen(s.NextServerPiece(a)), -1);
    EXPECT_FALSE(s.HasRanges());
}

TEST(BlockScheduler, PieceFailingAfterItsRangeWentStillFindsAServer) {
    FakeContext ctx(6, 1);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork a = Server(1000);
    for (int32_t p = 0; p < 6; ++p) {
        ASSERT_EQ(Chosen(s.NextServerPiece(a)), p);
        ctx.Verify(p);
    }
    EXPECT_EQ(Chosen(s.NextServerPiece(a)), -1);
    ASSERT_FALSE(s.HasRanges());
    ctx.SetVerified(4, false);
    EXPECT_EQ(Chosen(s.NextServerPiece(a)), 4);
    EXPECT_EQ(Spans(s), (SpanList{{4, 5}}));
}

TEST(BlockScheduler, PreferredPieceSplitsWithoutOverlapOrInversion) {
    FakeContext ctx(30, 1);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork a = Server(1000);
    for (int32_t p = 0; p <= 12; ++p) {
        ASSERT_EQ(Chosen(s.NextServerPiece(a)), p);
    }
    PeerWork b = Server(1000);
    s.SetPreferredPiece(Piece(20));
    EXPECT_EQ(Chosen(s.TakeRangeAtPreferred(b)), 20);
    EXPECT_EQ(Spans(s), (SpanList{{0, 19}, {20, 29}}));
    // Preferred behind a's current piece: the split comes after it.
    PeerWork c = Server(1000);
    s.SetPreferredPiece(Piece(5));
    EXPECT_EQ(Chosen(s.TakeRangeAtPreferred(c)), 13);
    EXPECT_EQ(Spans(s), (SpanList{{0, 12}, {13, 19}, {20, 29}}));
    // Preferred at the start of a free range: the whole range, never an inverted one.
    s.ReleaseRange(b);
    PeerWork d = Server(1000);
    s.SetPreferredPiece(Piece(20));
    EXPECT_EQ(Chosen(s.TakeRangeAtPreferred(d)), 20);
    EXPECT_EQ(Spans(s), (SpanList{{0, 12}, {13, 19}, {20, 29}}));
    EXPECT_EQ(Chosen(s.NextServerPiece(d)), 21);
}

TEST(BlockScheduler, NewLayoutDropsRangesAndEngagements) {
    FakeContext ctx(10, 1);
    ctx.slots = Slots(1, 1);
    BlockScheduler s(ctx);
    PeerWork server = Server(1000);
    ASSERT_EQ(Chosen(s.NextServerPiece(server)), 0);
    server.requests.Push({0, kBlockSize, 0});
    ASSERT_TRUE(s.EngagePiece(Piece(5)));
    s.OnPieceMapRebuilt(false);
    EXPECT_NE(server.range, nullptr) << "same layout: ranges and engagements stay";
    EXPECT_EQ(s.EngagedCount(Piece(5)), 1);

    s.OnPieceMapRebuilt(true);
    EXPECT_EQ(server.range, nullptr);
    EXPECT_TRUE(server.requests.empty());
    EXPECT_EQ(s.EngagedTotal(), 0);
    EXPECT_FALSE(s.HasRanges());
    EXPECT_EQ(Chosen(s.NextServerPiece(server)), 0) << "built again for the new layout";
}

// Many server connections of random speeds come, go, stall and steal from each other. No two ever
// work on one piece, the ranges never overlap or invert, and every piece that is not verified
// stays inside some range, until all pieces are in.
TEST(BlockScheduler, RandomStealSequencesKeepRangesSound) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        FakeContext ctx(static_cast<int32_t>(20 + rng() % 200), 1);
        ctx.slots = Slots(static_cast<int>(1 + rng() % 2), static_cast<int32_t>(1 + rng() % 3));
        ctx.tick_step = 7;
        BlockScheduler s(ctx);
        std::vector<PeerWork> peers(8);
        for (auto& peer : peers) {
            peer.kind = 2;
        }
        int rounds = 0;
        for (; ctx.VerifiedCount() < ctx.count && rounds < 20000; ++rounds) {
            PeerWork& peer = peers[rng() % peers.size()];
            const uint32_t action = rng() % 10;
            if (action == 0) {
                s.ReleaseRange(peer);
                peer.download_rate = static_cast<int32_t>(rng() % 4 ? rng() % 5000 : 0);
            } else if (action < 4 && !peer.requests.empty()) {
                const int32_t p = peer.requests.front().block;  // one block per piece
                peer.requests.DropFront();
                ctx.Verify(p);
                s.OnPieceVerified(Piece(p));
            } else if (peer.requests.size() < 3) {
                const int32_t p = Chosen(s.NextServerPiece(peer));
                if (p >= 0) {
                    peer.requests.Push({p, kBlockSize, 0});
                }
            }
            ctx.now += rng() % 3;

            std::set<int32_t> fetching;
            for (const auto& other : peers) {
                for (const BlockRequest& r : other.requests) {
                    ASSERT_TRUE(fetching.insert(r.block).second) << "piece " << r.block << " twice";
                    ASSERT_NE(other.range, nullptr);
                    ASSERT_TRUE(r.block >= other.range->start && r.block <= other.range->end);
                }
            }
            auto spans = Spans(s);
            std::sort(spans.begin(), spans.end());
            for (size_t i = 0; i < spans.size(); ++i) {
                ASSERT_LE(spans[i].first, spans[i].second);
                ASSERT_TRUE(i == 0 || spans[i - 1].second < spans[i].first) << "overlap";
            }
            for (int32_t p = 0; p < ctx.count && s.RangesBuilt(); ++p) {
                const bool covered = std::any_of(spans.begin(), spans.end(), [p](auto span) {
                    return p >= span.first && p <= span.second;
                });
                ASSERT_TRUE(covered || ctx.VerifiedAt(p)) << "piece " << p << " in no range";
            }
        }
        EXPECT_EQ(ctx.VerifiedCount(), ctx.count) << "seed " << seed << " stuck";
    }
}

TEST(BlockScheduler, LastPiecesFinishWhenOneConnectionStalls) {
    FakeContext ctx(50, 1);
    ctx.slots = Slots(1, 2);
    BlockScheduler s(ctx);
    PeerWork fast = Server(500000);
    PeerWork dead = Server(0);
    // Takes a range and its first two pieces, then never delivers.
    ASSERT_EQ(Chosen(s.NextServerPiece(dead)), 0);
    ASSERT_EQ(Chosen(s.NextServerPiece(dead)), 1);
    int guard = 0;
    while (ctx.VerifiedCount() < ctx.count && guard++ < 500) {
        const int32_t p = Chosen(s.NextServerPiece(fast));
        if (p >= 0) {
            ctx.Verify(p);
            s.OnPieceVerified(Piece(p));
        }
        ctx.now += 1;
    }
    EXPECT_EQ(ctx.VerifiedCount(), ctx.count);
    EXPECT_EQ(dead.range, nullptr);
}

}  // namespace
