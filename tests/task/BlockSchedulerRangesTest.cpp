// The block scheduler's server ranges: the split, assignment and steals, range ends, the
// preferred piece, new layouts, and random sequences of connections.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "engine/task/BlockScheduler.h"
#include "support/FakeSchedulingContext.h"

namespace {

using kf::BlockRequest;
using kf::BlockScheduler;
using kf::kBlockSize;
using kf::PeerWork;
using kf::Range;
using kf::test::Chosen;
using kf::test::FakeSchedulingContext;
using kf::test::Piece;
using kf::test::Server;
using kf::test::Slots;
using kf::test::SpanList;
using kf::test::Spans;

// --- Server ranges ------------------------------------------------------------------------

TEST(BlockScheduler, BuildRangesSplitsAmongSources) {
    FakeSchedulingContext ctx(10);
    BlockScheduler s(ctx);
    auto slots = Slots(1, 5);
    s.BuildRanges(slots);
    EXPECT_EQ(Spans(s), (SpanList{{0, 2}, {3, 5}, {6, 9}}));
    EXPECT_EQ(slots[0].max_connections, 3);
    slots = Slots(1, 0);  // no limit recorded: one range rather than a division by zero
    s.BuildRanges(slots);
    EXPECT_EQ(Spans(s), (SpanList{{0, 9}}));

    FakeSchedulingContext few(3);
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
    FakeSchedulingContext ctx(100, 1);
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
    FakeSchedulingContext ctx(4, 1);
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
    FakeSchedulingContext ctx(4, 1);
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
    FakeSchedulingContext ctx(6, 1);
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
    FakeSchedulingContext ctx(30, 1);
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
    FakeSchedulingContext ctx(10, 1);
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
        FakeSchedulingContext ctx(static_cast<int32_t>(20 + rng() % 200), 1);
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
    FakeSchedulingContext ctx(50, 1);
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
