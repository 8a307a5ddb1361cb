// The handshake of a BitTorrent peer both ways, with and without its wrapper, the handshakes it
// refuses, and framing it drops the connection for.

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

TEST_F(BtPeerTest, WrappedHandshakesBothWays) {
    // Outgoing with the switch on: a GET request goes first; the remote's HTTP answer is taken
    // off before its handshake.
    task_.http_wrapped = true;
    ConnectOut();
    ASSERT_TRUE(PumpUntilRemoteHas(68 + 20));
    const Bytes sent = TakeRemote();
    const auto scan = BtWire::ScanWrapper(sent);
    ASSERT_EQ(scan.result, BtWire::Wrapper::kStripped);
    EXPECT_EQ(std::string(sent.begin(), sent.begin() + 16), "GET / HTTP/1.0\r\n");
    EXPECT_EQ(Bytes(sent.begin() + static_cast<std::ptrdiff_t>(scan.header_length), sent.end()),
              Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(kOwnId))));
    Send(Cat({Of("HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n"), RemoteHandshake()}));
    ASSERT_TRUE(PumpUntil([&] { return peer_.State() == TPeerObject::kEstablished; }));
    EXPECT_TRUE(peer_.Wrapped());
    peer_.Reset();
    EXPECT_FALSE(source_->wrapper_refused) << "a peer that answered keeps the wrapper";
}

TEST_F(BtPeerTest, APeerThatDropsAWrappedHandshakeIsAskedPlainlyAfterwards) {
    // A plain peer reads the GET line as an encrypted start and answers with noise.
    task_.http_wrapped = true;
    ConnectOut();
    ASSERT_TRUE(PumpUntilRemoteHas(68 + 20));
    ASSERT_EQ(BtWire::ScanWrapper(TakeRemote()).result, BtWire::Wrapper::kStripped);
    Send(Bytes(96, 0x5A));
    ASSERT_TRUE(PumpUntilDropped());
    peer_.Reset();
    EXPECT_TRUE(source_->wrapper_refused);

    remote_.reset();
    ASSERT_TRUE(peer_.Attach(source_));
    ASSERT_TRUE(WaitUntil([&] { return (remote_ = listener_.Accept()) != nullptr; }));
    ASSERT_TRUE(PumpUntilRemoteHas(68));
    EXPECT_EQ(TakeRemote(), Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(kOwnId))));
    Send(RemoteHandshake());
    ASSERT_TRUE(PumpUntil([&] { return peer_.State() == TPeerObject::kEstablished; }));
    EXPECT_FALSE(peer_.Wrapped());
}

TEST_F(BtPeerTest, WrappedIncomingHandshakeIsAnsweredLikeAWebServer) {
    ConnectIn();
    // The request arrives in two parts: nothing is answered until the header has ended.
    Send(Of("GET / HTTP/1.0\r\nHost: 1:2\r\n"));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(peer_.Pump());
    }
    remote_->ReceiveBytes(4096);
    EXPECT_EQ(remote_->ReceivedLength(), 0);
    Send(Cat({Of("\r\n"), RemoteHandshake()}));
    ASSERT_TRUE(PumpUntilRemoteHas(68));
    const Bytes reply = TakeRemote();
    const std::string text(reply.begin(), reply.end());
    ASSERT_EQ(text.rfind("HTTP/1.0 200 OK\r\nConnection: ", 0), 0u) << text;
    const auto scan = BtWire::ScanWrapper(reply);
    ASSERT_EQ(scan.result, BtWire::Wrapper::kStripped);
    EXPECT_TRUE(
        BtWire::HandshakeMatches(std::span(reply).subspan(scan.header_length), Filled(kInfoHash)));
    EXPECT_EQ(peer_.State(), TPeerObject::kEstablished);
    // The incoming peer learnt its record from the task, with the remote's peer id.
    ASSERT_NE(peer_.Source(), nullptr);
    EXPECT_EQ(peer_.Source()->peer_id, Filled(kRemoteId));
    EXPECT_EQ(peer_.Source()->connections, 1);
}

TEST_F(BtPeerTest, IncomingStrippedByTheTaskIsAnsweredToo) {
    ConnectIn(/*wrapped=*/true);
    Send(RemoteHandshake());
    ASSERT_TRUE(PumpUntilRemoteHas(68 + 20));
    const Bytes reply = TakeRemote();
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + 15), "HTTP/1.0 200 OK");
}

TEST_F(BtPeerTest, HandshakesThatAreRefused) {
    struct Case {
        const char* what;
        std::function<void(FakePeerTask&)> setup;
        Bytes handshake;
    };
    const std::vector<Case> cases = {
        {"own peer id", [](FakePeerTask&) {},
         Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(kOwnId)))},
        {"other torrent", [](FakePeerTask&) {},
         Of(BtWire::BuildHandshake(Filled(0x01), Filled(kRemoteId)))},
        {"not a BT task", [](FakePeerTask& task) { task.bt_task = false; },
         Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(kRemoteId)))},
        {"duplicate",
         [](FakePeerTask& task) {
             task.other_peers.push_back({kLoopback, Filled(kRemoteId), false});
         },
         Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(kRemoteId)))},
        {"another protocol", [](FakePeerTask&) {}, Bytes(68, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakePeerTask task(8 * kPieceLength, kPieceLength);
        task.info_hash = Filled(kInfoHash);
        task.handshake_peer_id = Filled(kOwnId);
        c.setup(task);
        TBTPeer peer(task);
        QSocket listener;
        ASSERT_TRUE(listener.Listen(0, kLoopback));
        auto client = std::make_unique<QSocket>();
        ASSERT_TRUE(client->ConnectTo(kLoopback, listener.LocalPort(), false, &kDirect));
        std::unique_ptr<QSocket> accepted;
        ASSERT_TRUE(WaitUntil([&] {
            accepted = accepted ? std::move(accepted) : listener.Accept();
            return accepted != nullptr;
        }));
        ASSERT_TRUE(peer.AcceptConnection(std::move(accepted), false));
        ASSERT_GE(client->SendBytes(c.handshake), 0);
        ASSERT_TRUE(WaitUntil([&] { return !peer.Pump(); }));
        EXPECT_EQ(peer.State(), TPeerObject::kIdle);
        // Nothing of ours went out: not even our handshake.
        client->ReceiveBytes(4096);
        EXPECT_EQ(client->ReceivedLength(), 0);
    }
}

TEST_F(BtPeerTest, SlowHandshakeTimesOut) {
    ConnectOut();
    ASSERT_TRUE(PumpUntilRemoteHas(68));
    Send(Bytes(40, 19));  // part of a handshake, then silence
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(peer_.Pump());
    }
    task_.now += TBTPeer::kHandshakeTimeout + 1;
    EXPECT_FALSE(peer_.Pump());
    EXPECT_EQ(peer_.Status(), TPeerObject::kStatusTimedOut);
}

TEST_F(BtPeerTest, HostileFramingDropsTheConnection) {
    struct Case {
        const char* what;
        Bytes bytes;
    };
    Bytes oversized(4);
    BtWire::WriteU32(oversized.data(), 524289);
    oversized.push_back(BtWire::kBitfield);
    const std::vector<Case> cases = {
        {"length 524289", oversized},
        {"bitfield of the wrong size", BtWire::Bitfield(Bytes{0xFF})},
        {"block of 131073 bytes", Of(BtWire::PieceHeader(0, 0, 131073))},
        {"unrequested piece", Cat({Of(BtWire::PieceHeader(1, 0, 16)), Bytes(16, 1)})},
        {"piece off a block boundary", Cat({Of(BtWire::PieceHeader(0, 100, 16)), Bytes(16, 1)})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        task_.shared_blocks.clear();
        peer_.Reset();
        listener_.Close();
        remote_.reset();
        Establish(true);
        const int32_t errors = peer_.Errors();
        Send(c.bytes);
        EXPECT_TRUE(PumpUntilDropped());
        EXPECT_FALSE(peer_.IsConnected());
        EXPECT_EQ(peer_.Errors(), errors + 1);
    }
}

TEST_F(BtPeerTest, WrongPayloadSizesDiscardTheBufferAndCountAnError) {
    Establish(true, Bytes{0x00, 0x00});
    // A have with 5 bytes of payload, then a good have in the same write: both are thrown away.
    Bytes bad(4);
    BtWire::WriteU32(bad.data(), 6);
    bad.insert(bad.end(), {BtWire::kHave, 0, 0, 0, 3, 0});
    Send(Cat({bad, Of(BtWire::Have(4))}));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Errors() == 1; }));
    EXPECT_TRUE(peer_.IsConnected());
    EXPECT_FALSE(peer_.Work().Has(4));
    // Afterwards the stream is read again from a message boundary.
    Send(Of(BtWire::Have(5)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().Has(5); }));
    EXPECT_EQ(peer_.GetExchange().remote_pieces, 1);
    EXPECT_EQ(peer_.GetExchange().last_have_index, 5);
    // A request with impossible fields is discarded without an error.
    Send(Of(BtWire::Request(0x80000000u, 0, 16384)));
    Send(Of(BtWire::Have(6)));
    ASSERT_TRUE(PumpUntil([&] { return remote_->Received().empty(); }));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(peer_.Pump());
    }
    EXPECT_EQ(peer_.Errors(), 1);
    // A have beyond the content is ignored, not stored.
    Send(Of(BtWire::Have(0x7FFFFFFF)));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(peer_.Pump());
    }
    EXPECT_EQ(peer_.GetExchange().remote_pieces, 1 + (peer_.Work().Has(6) ? 1 : 0));
}

}  // namespace
}  // namespace kf
