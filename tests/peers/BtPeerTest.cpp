#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/EngineClock.h"
#include "engine/net/Ipv4Address.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TBTPeer.h"
#include "support/FakePeerTask.h"
#include "support/WireBytes.h"

namespace kf {
namespace {

using test::Bytes;
using test::Cat;
using test::FakePeerTask;
using test::Of;

const uint32_t kLoopback = ParseDottedAddress("127.0.0.1");
const QProxyConfig kDirect;
constexpr int32_t kPieceLength = 32768;

BtWire::Hash20 Filled(uint8_t value) {
    BtWire::Hash20 out;
    out.fill(value);
    return out;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>(((i + seed) ^ (i >> 11)) * 131u + seed);
    }
    return out;
}

// Polls `done` until it holds, at most five seconds; each round runs `step` first.
bool WaitUntil(
    const std::function<bool()>& done, const std::function<void()>& step = [] {}) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int round = 0; round < 100000 && std::chrono::steady_clock::now() < deadline; ++round) {
        step();
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// A TBTPeer of a fake task and a scripted remote at the other end of a loopback connection.
class BtPeerTest : public ::testing::Test {
  protected:
    static constexpr uint8_t kInfoHash = 0xAB;
    static constexpr uint8_t kOwnId = 0x11;
    static constexpr uint8_t kRemoteId = 0x22;

    BtPeerTest() : task_(8 * kPieceLength + 1000, kPieceLength) {
        task_.info_hash = Filled(kInfoHash);
        task_.handshake_peer_id = Filled(kOwnId);
    }

    // Outgoing: the peer connects to a listener standing in for the remote.
    void ConnectOut() {
        ASSERT_TRUE(listener_.Listen(0, kLoopback));
        source_ = RefPtr<TPeerId>::Make();
        source_->kind = PeerKind::BtNode;
        source_->ip = kLoopback;
        source_->port = listener_.LocalPort();
        source_->resolved = true;
        ASSERT_TRUE(peer_.Attach(source_));
        ASSERT_TRUE(WaitUntil([&] {
            if (remote_ == nullptr) {
                remote_ = listener_.Accept();
            }
            return remote_ != nullptr;
        }));
    }

    // Incoming: the remote connects, the engine's accepted end goes to the peer.
    void ConnectIn(bool wrapped = false) {
        ASSERT_TRUE(listener_.Listen(0, kLoopback));
        auto client = std::make_unique<QSocket>();
        ASSERT_TRUE(client->ConnectTo(kLoopback, listener_.LocalPort(), false, &kDirect));
        std::unique_ptr<QSocket> accepted;
        ASSERT_TRUE(WaitUntil([&] {
            if (accepted == nullptr) {
                accepted = listener_.Accept();
            }
            return accepted != nullptr && client->IsEstablished();
        }));
        remote_ = std::move(client);
        ASSERT_TRUE(peer_.AcceptConnection(std::move(accepted), wrapped));
    }

    Bytes RemoteHandshake(uint8_t id = kRemoteId) const {
        return Of(BtWire::BuildHandshake(Filled(kInfoHash), Filled(id)));
    }

    void Send(const Bytes& bytes) { ASSERT_GE(remote_->SendBytes(bytes), 0); }

    // Pumps the peer until the remote holds `count` bytes; false when the peer gave up first.
    bool PumpUntilRemoteHas(size_t count) {
        bool alive = true;
        const bool got = WaitUntil([&] { return !alive || remote_->Received().size() >= count; },
                                   [&] {
                                       alive = peer_.Pump() && peer_.PumpUpload();
                                       remote_->ReceiveBytes(65536);
                                   });
        return got && alive;
    }
    // Pumps the peer until `done`; false when the peer gave up first.
    bool PumpUntil(const std::function<bool()>& done) {
        bool alive = true;
        const bool got = WaitUntil([&] { return !alive || done(); },
                                   [&] {
                                       alive = peer_.Pump() && peer_.PumpUpload();
                                       remote_->ReceiveBytes(65536);
                                   });
        return got && alive;
    }
    // Pumps until the peer answers false (the connection dropped).
    bool PumpUntilDropped() {
        return WaitUntil([&] { return !peer_.Pump(); });
    }
    Bytes TakeRemote() {
        const std::span<const uint8_t> bytes = remote_->Received();
        Bytes out(bytes.begin(), bytes.end());
        remote_->Consume(-1);
        return out;
    }

    // Handshake both ways, the peer's bitfield and interested+unchoke read off the wire.
    void Establish(bool incoming = false, const Bytes& remote_bits = {}) {
        if (incoming) {
            ConnectIn();
            Send(RemoteHandshake());
        } else {
            ConnectOut();
            ASSERT_TRUE(PumpUntilRemoteHas(68));
            Send(RemoteHandshake());
        }
        if (!remote_bits.empty()) {
            Send(BtWire::Bitfield(remote_bits));
        }
        const size_t bitfield = 5 + (static_cast<size_t>(task_.PieceCount()) + 7) / 8;
        ASSERT_TRUE(PumpUntilRemoteHas(68 + bitfield + 10));
        ASSERT_EQ(peer_.State(), TPeerObject::kEstablished);
        TakeRemote();
    }

    FakePeerTask task_;
    TBTPeer peer_{task_};
    QSocket listener_;
    RefPtr<TPeerId> source_;
    std::unique_ptr<QSocket> remote_;
};

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

TEST_F(BtPeerTest, DropDoneRequestsCancelsHeldBlocksAndSharesLateOnes) {
    Establish(false, Bytes{0xFF, 0x80});
    Send(Of(BtWire::Simple(BtWire::kUnchoke)));
    ASSERT_TRUE(PumpUntil([&] { return peer_.Work().requests.InFlight() >= 2; }));
    ASSERT_TRUE(PumpUntilRemoteHas(static_cast<size_t>(peer_.Work().requests.InFlight()) * 17));
    TakeRemote();
    PeerWork& work = peer_.Work();
    ASSERT_EQ(work.requests[0].block, 0);
    ASSERT_EQ(work.requests[1].block, 1);
    const int32_t outstanding = work.requests.InFlight();
    const size_t queued = work.requests.size();
    // Every request waited 9 seconds; piece 0 arrived from elsewhere; the reader wants piece 3.
    const uint32_t now = SecondsSinceStart();
    for (size_t i = 0; i < work.requests.size(); ++i) {
        work.requests.Restamp(i, now - 9);
    }
    task_.MarkPieceDone(0);
    task_.preferred_piece = 3;
    task_.shared_blocks.clear();
    peer_.DropDoneRequests();

    EXPECT_EQ(work.requests.InFlight(), outstanding - 2);
    EXPECT_EQ(work.requests.size(), queued - 2);
    std::vector<int32_t> shared;
    for (const BlockRequest& request : task_.shared_blocks) {
        shared.push_back(request.block);
    }
    std::vector<int32_t> expected;
    for (const BlockRequest& request : work.requests) {
        if (request.block >= 6) {  // pieces 3 and on
            expected.push_back(request.block);
            EXPECT_GE(request.queued_at, now);  // refreshed
        }
    }
    EXPECT_EQ(shared, expected);
    ASSERT_TRUE(PumpUntilRemoteHas(2 * 17));
    const Bytes cancels = TakeRemote();
    EXPECT_EQ(Bytes(cancels.begin(), cancels.begin() + 34),
              Cat({Of(BtWire::Cancel(0, 0, 16384)), Of(BtWire::Cancel(0, 16384, 16384))}));
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
