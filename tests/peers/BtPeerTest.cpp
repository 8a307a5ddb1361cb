// A BitTorrent peer fetching from its remote: requests, chokes, cancels, notices and the figures
// the task reads; its transport choice; two engine peers exchanging a whole content.

#include <gtest/gtest.h>

#include <vector>

#include "engine/base/EngineClock.h"
#include "support/BtPeerTest.h"

namespace kf {
namespace {

using test::BtPeerTest;
using test::Bytes;
using test::Cat;
using test::FakePeerTask;
using test::Filled;
using test::kDirect;
using test::kLoopback;
using test::kPieceLength;
using test::Of;
using test::Pattern;
using test::WaitUntil;

TEST_F(BtPeerTest, OutgoingExchangeFetchesRequestedBlocks) {
    ConnectOut();
    ASSERT_TRUE(PumpUntilRemoteHas(68));
    const Bytes hello = TakeRemote();
    EXPECT_EQ(hello, Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(kOwnId))));

    // The remote has pieces 0 and 1 only; the task holds piece 2 already.
    task_.MarkPieceDone(2);
    Send(Cat({RemoteHandshake(), BtWire::Bitfield(Bytes{0xC0, 0x00})}));
    ASSERT_TRUE(PumpUntilRemoteHas(5 + 2 + 10));
    EXPECT_EQ(TakeRemote(),
              Cat({BtWire::Bitfield(Bytes{0x20, 0x00}), Of(BtWire::kInterestedUnchoke)}));
    EXPECT_EQ(task_.source_piece_notices, std::vector<int32_t>{2});
    EXPECT_EQ(task_.connected_addresses.size(), 1u);
    EXPECT_EQ(peer_.Status(), TPeerObject::kStatusChoked);

    // Choked: nothing is asked. Unchoked: the blocks of the remote's pieces are.
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntilRemoteHas(4 * 17));
    const Bytes requests = TakeRemote();
    ASSERT_EQ(requests.size() % 17, 0u);
    std::vector<BtWire::Message> asked;
    for (size_t at = 0; at < requests.size(); at += 17) {
        BtWire::Message message;
        ASSERT_EQ(BtWire::ParseMessage(std::span(requests).subspan(at), message),
                  BtWire::Parse::kMessage);
        ASSERT_EQ(message.id, BtWire::kRequest);
        EXPECT_LT(message.index, 2u);
        asked.push_back(message);
    }
    ASSERT_EQ(asked.size(), 4u);

    const std::string content = Pattern(2 * kPieceLength, 5);
    for (const BtWire::Message& request : asked) {
        const size_t offset = request.index * kPieceLength + request.begin;
        Send(Cat({Of(BtWire::PieceHeader(request.index, request.begin, request.length)),
                  Of(content.substr(offset, request.length))}));
    }
    ASSERT_TRUE(PumpUntil([&] {
        return task_.MissingRange(PieceIndex(0)).second == 0 &&
               task_.MissingRange(PieceIndex(1)).second == 0;
    }));
    EXPECT_EQ(task_.Stored(0, 2 * kPieceLength), content);
    EXPECT_EQ(task_.payload_by_kind[1], 2 * kPieceLength);
    EXPECT_EQ(peer_.Errors(), 0);
    EXPECT_FALSE(peer_.IsSeed());
}

TEST_F(BtPeerTest, ChokeCancelsOutstandingRequestsAndGivesThemBack) {
    Establish(false, Bytes{0xFF, 0x80});
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntilRemoteHas(17));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().requests.InFlight() > 0; }));
    const int32_t outstanding = peer_.Work().requests.InFlight();
    TakeRemote();

    Send(Of(BtWire::Simple(BtWire::kChoke)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.GetExchange().peer_choking; }));
    ASSERT_TRUE(PumpUntilRemoteHas(static_cast<size_t>(outstanding) * 17));
    const Bytes cancels = TakeRemote();
    for (size_t at = 0; at < cancels.size(); at += 17) {
        EXPECT_EQ(cancels[at + 4], BtWire::kCancel);
    }
    EXPECT_EQ(peer_.Work().requests.InFlight(), 0);
    EXPECT_TRUE(peer_.Work().requests.empty());
    EXPECT_GE(task_.shared_blocks.size(), static_cast<size_t>(outstanding));
    EXPECT_EQ(peer_.Status(), TPeerObject::kStatusChoked);
}

TEST_F(BtPeerTest, ChokeAndUnchokeInOneReadStillAskAgain) {
    Establish(false, Bytes{0xFF, 0x80});
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().requests.InFlight() > 0; }));
    const int32_t outstanding = peer_.Work().requests.InFlight();
    ASSERT_TRUE(PumpUntilRemoteHas(static_cast<size_t>(outstanding) * 17));
    TakeRemote();

    // The remote forgot our requests at its choke: they are cancelled and asked for again.
    Send(Cat({Of(BtWire::Simple(BtWire::kChoke)), Of(BtWire::Simple(BtWire::kUnchoke))}));
    ASSERT_TRUE(PumpUntilRemoteHas(static_cast<size_t>(outstanding) * 17 * 2));
    const Bytes sent = TakeRemote();
    for (size_t at = 0; at < sent.size(); at += 17) {
        EXPECT_EQ(sent[at + 4],
                  at < static_cast<size_t>(outstanding) * 17 ? BtWire::kCancel : BtWire::kRequest)
            << at;
    }
    EXPECT_GT(peer_.Work().requests.InFlight(), 0);
    EXPECT_FALSE(peer_.GetExchange().peer_choking);
}

// The per-second call: requests whose blocks arrived from elsewhere go, a cancel for exactly those
// that were sent (never for one still unsent, whatever went ahead of it); the requests near the
// reader that waited too long are shared. A block the remote sent before our cancel reached it is
// taken quietly and not written; one never asked for still ends the connection.
TEST_F(BtPeerTest, DropDoneRequestsCancelsHeldBlocksAndSharesLateOnes) {
    Establish(false, Bytes{0xFF, 0x80});
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().requests.size() == 16; }));
    PeerWork& work = peer_.Work();
    const int32_t outstanding = work.requests.InFlight();
    ASSERT_EQ(outstanding, 6);  // blocks 0..5 sent, 6..15 queued
    ASSERT_TRUE(PumpUntilRemoteHas(static_cast<size_t>(outstanding) * 17));
    TakeRemote();
    // Every request waited 9 seconds; pieces 0 (sent) and 3 (unsent) arrived from elsewhere; the
    // reader wants piece 3.
    const uint32_t now = SecondsSinceStart();
    for (size_t i = 0; i < work.requests.size(); ++i) {
        work.requests.Restamp(i, now - 9);
    }
    task_.MarkPieceDone(0);
    task_.MarkPieceDone(3);
    task_.preferred_piece = 3;
    task_.shared_blocks.clear();
    peer_.DropDoneRequests();

    EXPECT_EQ(work.requests.InFlight(), outstanding - 2);
    EXPECT_EQ(work.requests.size(), 12u);
    std::vector<int32_t> shared;
    for (const BlockRequest& request : task_.shared_blocks) {
        shared.push_back(request.block);
    }
    EXPECT_EQ(shared, (std::vector<int32_t>{8, 9, 10, 11, 12, 13, 14, 15}));
    for (const BlockRequest& request : work.requests) {
        EXPECT_EQ(request.queued_at, request.block >= 6 ? now : now - 9) << request.block;
    }
    // The pipeline refills to six with blocks 8 and 9 after the two cancels.
    ASSERT_TRUE(PumpUntilRemoteHas(4 * 17));
    const Bytes sent = TakeRemote();
    EXPECT_EQ(sent, Cat({Of(BtWire::Cancel(0, 0, 16384)), Of(BtWire::Cancel(0, 16384, 16384)),
                         Of(BtWire::Request(4, 0, 16384)), Of(BtWire::Request(4, 16384, 16384))}));

    const auto block = [](uint32_t index, uint32_t begin, char fill) {
        return Cat({Of(BtWire::PieceHeader(index, begin, 16384)), Of(std::string(16384, fill))});
    };
    const size_t writes = task_.writes.size();
    Send(Cat({block(0, 0, 'c'), block(1, 0, 'a')}));  // cancelled, then one in flight
    ASSERT_TRUE(PumpUntil([&] { return task_.writes.size() == writes + 1; }));
    EXPECT_EQ(task_.writes.back().block, 2);
    EXPECT_EQ(task_.Stored(0, 1), std::string(1, '\0'));
    EXPECT_EQ(peer_.Errors(), 0);
    Send(block(0, 16384, 'c'));  // cancelled too, and only once
    Send(block(0, 16384, 'c'));
    EXPECT_TRUE(PumpUntilDropped());
    EXPECT_EQ(task_.writes.size(), writes + 1);
}

// The task's calls that take requests away: a piece that failed its check loses its requests and
// an end-game block that came from elsewhere its own, with a cancel for those sent only; a banned
// remote gives every request back to the task (those sent cancelled) and is asked nothing more.
TEST_F(BtPeerTest, FailedPiecesEndGameBlocksAndBansTakeRequestsAway) {
    Establish(false, Bytes{0xFF, 0x80});
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().requests.size() == 16; }));
    PeerWork& work = peer_.Work();
    ASSERT_EQ(work.requests.InFlight(), 6);  // blocks 0..5 sent, 6..15 queued
    ASSERT_TRUE(PumpUntilRemoteHas(6 * 17));
    TakeRemote();

    peer_.ForgetPiece(PieceIndex(1));                    // blocks 2 and 3, sent
    peer_.ForgetPiece(PieceIndex(5));                    // blocks 10 and 11, unsent
    peer_.DropRequest(BlockRequest{4, kBlockSize, 0});   // sent
    peer_.DropRequest(BlockRequest{12, kBlockSize, 0});  // unsent
    peer_.DropRequest(BlockRequest{40, kBlockSize, 0});  // never asked for: nothing happens
    std::vector<int32_t> left;
    for (const BlockRequest& request : work.requests) {
        left.push_back(request.block);
    }
    EXPECT_EQ(left, (std::vector<int32_t>{0, 1, 5, 6, 7, 8, 9, 13, 14, 15}));
    EXPECT_EQ(work.requests.InFlight(), 3);
    // The three cancels, then the pipeline refills to six.
    ASSERT_TRUE(PumpUntilRemoteHas(6 * 17));
    EXPECT_EQ(TakeRemote(),
              Cat({Of(BtWire::Cancel(1, 0, 16384)), Of(BtWire::Cancel(1, 16384, 16384)),
                   Of(BtWire::Cancel(2, 0, 16384)), Of(BtWire::Request(3, 0, 16384)),
                   Of(BtWire::Request(3, 16384, 16384)), Of(BtWire::Request(4, 0, 16384))}));
    ASSERT_EQ(work.requests.InFlight(), 6);

    task_.shared_blocks.clear();
    const size_t queued = work.requests.size();
    peer_.StopFetching();
    EXPECT_TRUE(work.requests.empty());
    EXPECT_EQ(task_.shared_blocks.size(), queued);
    ASSERT_TRUE(PumpUntilRemoteHas(6 * 17));
    task_.shared_blocks.clear();  // nothing left to take: a plan would ask for fresh pieces
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(peer_.Pump());
    }
    EXPECT_TRUE(work.requests.empty());
    EXPECT_EQ(TakeRemote().size(), 6u * 17) << "six cancels and no request";
}

TEST_F(BtPeerTest, RemoteRateCountsPiecesAnnouncedSinceTheBitfield) {
    Establish(true, Bytes{0x80, 0x00});
    for (uint32_t piece = 1; piece <= 4; ++piece) {
        Send(Of(BtWire::Have(piece)));
    }
    ASSERT_TRUE(PumpUntil([&] { return peer_.GetExchange().remote_pieces == 5; }));
    task_.now += 10;
    EXPECT_EQ(peer_.RemoteRate(), 0);  // four pieces are not enough to tell
    Send(Of(BtWire::Have(5)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.GetExchange().remote_pieces == 6; }));
    EXPECT_EQ(peer_.RemoteRate(), 5 * (kPieceLength / 1024) / 10);
    EXPECT_EQ(peer_.GetExchange().haves_received, 5);
}

TEST_F(BtPeerTest, BlockUnavailableNoticeGivesThePieceBack) {
    Establish(false, Bytes{0x80, 0x00});
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntilRemoteHas(2 * 17));
    ASSERT_FALSE(peer_.Work().requests.empty());
    Send(Of(BtWire::BlockUnavailable(0)));
    ASSERT_TRUE(PumpUntil([&] { return !peer_.Work().Has(0); }));
    EXPECT_TRUE(peer_.IsConnected());
    EXPECT_EQ(peer_.Errors(), 0);
    EXPECT_TRUE(peer_.Work().requests.empty());
    EXPECT_EQ(peer_.Work().requests.InFlight(), 0);
    EXPECT_EQ(task_.shared_blocks.size(), 2u);  // both blocks of piece 0, for other peers
}

TEST_F(BtPeerTest, SeedUsefulnessAndRates) {
    Establish(true, Bytes{0xFF, 0x80});
    EXPECT_TRUE(peer_.IsSeed());
    EXPECT_FALSE(peer_.IsSeedTooLong());
    task_.now += TBTPeer::kSeedTooLongAfter + 1;
    EXPECT_TRUE(peer_.IsSeedTooLong());
    EXPECT_FALSE(peer_.IsIdle());
    task_.now += TBTPeer::kIdleAfter;
    EXPECT_TRUE(peer_.IsIdle());
    task_.p2p_enabled = false;
    EXPECT_TRUE(peer_.IsIdle());
}

TEST_F(BtPeerTest, RemoteWithNothingWantedBecomesUselessUntilItAnnounces) {
    task_.MarkPieceDone(0);
    Establish(true, Bytes{0x80, 0x00});  // only the piece the task has
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().nothing_to_pick; }));
    EXPECT_FALSE(peer_.IsUseless());
    task_.now += TBTPeer::kUselessAfter + 1;
    EXPECT_TRUE(peer_.IsUseless());
    Send(Of(BtWire::Have(0)));  // still nothing for us
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(peer_.Pump());
    }
    EXPECT_TRUE(peer_.IsUseless());
    Send(Of(BtWire::Have(3)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().HasRequestFor(3, kPieceLength); }));
    EXPECT_FALSE(peer_.IsUseless());
}

TEST(BtPeerTransportTest, UdpIsTriedOnEvenAttemptsForPeersThatAnnounceIt) {
    TPeerId source;
    source.weight = 19;
    source.peer_id[16] = 'U';
    source.peer_id[17] = 'D';
    source.peer_id[18] = 'P';
    for (int32_t attempts = 0; attempts <= 7; ++attempts) {
        source.attempts = attempts;
        const bool expected = attempts >= 2 && attempts % 2 == 0;
        EXPECT_EQ(TBTPeer::ChooseUdpTransport(source, true, false, 100), expected) << attempts;
        EXPECT_FALSE(TBTPeer::ChooseUdpTransport(source, false, false, 100)) << attempts;
        EXPECT_EQ(TBTPeer::ChooseUdpTransport(source, true, true, 100), attempts % 3 == 0);
    }
    source.peer_id.fill(0);
    source.attempts = 2;
    EXPECT_FALSE(TBTPeer::ChooseUdpTransport(source, true, false, 33));
    EXPECT_TRUE(TBTPeer::ChooseUdpTransport(source, true, false, 32));
    source.weight = 35;
    EXPECT_FALSE(TBTPeer::ChooseUdpTransport(source, true, false, 32));

    // Node ids: bytes 8..15 of a real id; 12..19 of one made from the address.
    source.ip = kLoopback;
    source.port = 6881;
    source.peer_id = TPeerId::CompactPeerId(source.ip, source.port);
    EXPECT_EQ(TBTPeer::UdpNodeId(source)[0], source.peer_id[12]);
    source.peer_id[3] = 1;
    EXPECT_EQ(TBTPeer::UdpNodeId(source)[0], source.peer_id[8]);
}

// Two engine peers over a real loopback connection: one seeds from its store, the other fetches
// every piece, the short last one included.
TEST(BtPeerExchangeTest, LeecherFetchesEveryPieceFromASeeder) {
    constexpr int64_t kSize = 40 * kPieceLength + 5000;
    const std::string content = Pattern(kSize, 3);
    FakePeerTask seed_task(kSize, kPieceLength);
    FakePeerTask leech_task(kSize, kPieceLength);
    for (FakePeerTask* task : {&seed_task, &leech_task}) {
        task->info_hash = Filled(0x5E);
        task->bt_queue_limit = 64;
    }
    seed_task.handshake_peer_id = Filled(1);
    leech_task.handshake_peer_id = Filled(2);
    seed_task.StoreContent(0, content);
    ASSERT_TRUE(seed_task.AllDone());

    QSocket listener;
    ASSERT_TRUE(listener.Listen(0, kLoopback));
    TBTPeer seeder(seed_task);
    TBTPeer leecher(leech_task);
    auto source = RefPtr<TPeerId>::Make();
    source->kind = PeerKind::BtNode;
    source->ip = kLoopback;
    source->port = listener.LocalPort();
    source->resolved = true;
    ASSERT_TRUE(leecher.Attach(source));

    bool accepted = false;
    bool alive = true;
    const bool done = WaitUntil(
        [&] { return !alive || leech_task.AllDone(); },
        [&] {
            if (!accepted) {
                if (auto connection = listener.Accept()) {
                    ASSERT_TRUE(seeder.AcceptConnection(std::move(connection), false));
                    accepted = true;
                }
            }
            alive = leecher.Pump() && (!accepted || (seeder.Pump() && seeder.PumpUpload()));
        });
    ASSERT_TRUE(alive);
    ASSERT_TRUE(done);
    EXPECT_EQ(leech_task.Stored(0, kSize), content);
    EXPECT_EQ(seed_task.uploaded_total, kSize);
    EXPECT_EQ(leecher.Errors(), 0);
    EXPECT_EQ(seeder.Errors(), 0);
    EXPECT_TRUE(leecher.IsSeed());  // the seeder's bitfield had every piece
}

}  // namespace
}  // namespace kf
