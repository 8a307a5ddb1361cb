// A BitTorrent peer serving the remote's requests from the task's verified pieces.

#include <gtest/gtest.h>

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

TEST_F(BtPeerTest, UploadsServeOnlyAnswerableRequests) {
    const std::string content = Pattern(static_cast<size_t>(task_.ContentSize()), 9);
    task_.StoreContent(0, content);
    Establish(true);
    // Aligned and whole: served. Off a boundary, longer than a block, past the piece: ignored.
    Send(Cat({Of(BtWire::Request(1, 16384, 16384)), Of(BtWire::Request(0, 100, 1000)),
              Of(BtWire::Request(0, 0, 32768)), Of(BtWire::Request(8, 0, 16384)),
              Of(BtWire::Request(8, 0, 1000))}));
    ASSERT_TRUE(PumpUntilRemoteHas(2 * 13 + 16384 + 1000));
    const Bytes sent = TakeRemote();
    ASSERT_EQ(sent.size(), 2u * 13 + 16384 + 1000);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 13), Of(BtWire::PieceHeader(1, 16384, 16384)));
    EXPECT_EQ(std::string(sent.begin() + 13, sent.begin() + 13 + 16384),
              content.substr(kPieceLength + 16384, 16384));
    EXPECT_EQ(std::string(sent.end() - 1000, sent.end()), content.substr(8 * kPieceLength, 1000));
    EXPECT_EQ(task_.uploaded_total, 16384 + 1000);

    // A piece the store cannot read: the notice goes out and its requests are forgotten.
    task_.unreadable_pieces.insert(3);
    Send(Cat({Of(BtWire::Request(3, 0, 16384)), Of(BtWire::Request(3, 16384, 16384))}));
    ASSERT_TRUE(PumpUntilRemoteHas(18));
    EXPECT_EQ(TakeRemote(), Of(BtWire::BlockUnavailable(3)));
    EXPECT_TRUE(peer_.PeerRequests().empty());

    // Choking drops what the remote asked for; requests while choking are ignored.
    peer_.Choke();
    Send(Of(BtWire::Request(2, 0, 16384)));
    ASSERT_TRUE(PumpUntilRemoteHas(5));
    EXPECT_EQ(TakeRemote(), Of(BtWire::Simple(BtWire::kChoke)));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(peer_.Pump());
    }
    EXPECT_TRUE(peer_.PeerRequests().empty());
    peer_.Unchoke();
    ASSERT_TRUE(PumpUntilRemoteHas(5));
    EXPECT_EQ(TakeRemote(), Of(BtWire::Simple(BtWire::kUnchoke)));

    // The task's "have" batches go out as they are.
    ASSERT_TRUE(peer_.SendRaw(Of(BtWire::Have(7))));
    ASSERT_TRUE(PumpUntilRemoteHas(9));
    EXPECT_EQ(TakeRemote(), Of(BtWire::Have(7)));
}

TEST_F(BtPeerTest, AReaderThatTakesEverythingGetsLargerTurnsBeforeAnyRateIsMeasured) {
    const std::string content = Pattern(static_cast<size_t>(task_.ContentSize()), 5);
    task_.StoreContent(0, content);
    Establish(true);
    Bytes asks;
    size_t expected = 0;
    for (uint32_t piece = 0; piece < 8; ++piece) {
        for (uint32_t begin = 0; begin < kPieceLength; begin += 16384) {
            asks = Cat({asks, Of(BtWire::Request(piece, begin, 16384))});
            expected += 13 + 16384;
        }
    }
    Send(asks);
    ASSERT_TRUE(WaitUntil([&] { return peer_.PeerRequests().size() == 16; },
                          [&] { ASSERT_TRUE(peer_.Pump()); }));
    // No rate has been measured yet: a block or two a turn would take eight turns. Each turn the
    // remote reads all that reached the socket.
    const uint64_t sent_before = peer_.Connection()->SentTotal();
    int turns = 0;
    size_t got = 0;
    while (got < expected && turns < 100) {
        ASSERT_TRUE(peer_.Pump());
        ASSERT_TRUE(peer_.PumpUpload());
        ++turns;
        const uint64_t written = peer_.Connection()->SentTotal() - sent_before;
        ASSERT_TRUE(WaitUntil([&] {
            remote_->ReceiveBytes(1 << 20);
            return got + remote_->Received().size() >= written;
        }));
        got += TakeRemote().size();
    }
    EXPECT_EQ(got, expected);
    EXPECT_LE(turns, 6);
}

}  // namespace
}  // namespace kf
