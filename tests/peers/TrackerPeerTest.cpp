#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/net/QProxyConfig.h"
#include "engine/net/QUdpSocket.h"
#include "engine/peers/TTrackerPeer.h"
#include "support/FakePeerTask.h"
#include "support/LoopbackPorts.h"
#include "support/OpenTracker.h"
#include "support/ScriptedServer.h"

namespace kf {
namespace {

using test::FakePeerTask;
using test::ScriptedServer;
using test::ServerConnection;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = std::chrono::milliseconds(10000);

std::string Compact(const std::vector<std::pair<std::string, int>>& peers) {
    std::string out;
    for (const auto& [address, port] : peers) {
        const uint32_t ip = ParseDottedAddress(address);
        out.append(reinterpret_cast<const char*>(&ip), 4);
        out += static_cast<char>(port >> 8);
        out += static_cast<char>(port & 0xFF);
    }
    return out;
}

std::string HttpAnswer(const std::string& body, bool with_length = true) {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n" +
           (with_length ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : "") + "\r\n" +
           body;
}

std::string PeersBody(const std::string& compact, const std::string& extra = "") {
    return "d" + extra + "5:peers" + std::to_string(compact.size()) + ":" + compact + "e";
}

class TrackerPeerTest : public ::testing::Test {
  protected:
    TrackerPeerTest() : task_(1 << 20, 65536) {
        for (uint8_t i = 0; i < 20; ++i) {
            task_.info_hash[i] = static_cast<uint8_t>(0xA0 + i);
            task_.announce_peer_id[i] = static_cast<uint8_t>('a' + i);
            task_.handshake_peer_id[i] = static_cast<uint8_t>('A' + i);
        }
        task_.listen_port = 6881;
        task_.uploaded_total = 111;
        task_.downloaded_total = 222;
        task_.bytes_left = 333;
    }

    RefPtr<TPeerId> Record(const std::string& url) {
        RefPtr<TPeerId> record = RefPtr<TPeerId>::Make("tracker://" + url);
        EXPECT_TRUE(record->ParseSourceAddress());
        record->connections = 1;  // as the task does before attaching
        return record;
    }

    // Pumps like the task's loop until `done`, a false Pump (the peer is then reset, as the task
    // does) or the limit. True unless the limit was reached.
    bool Run(
        TTrackerPeer& peer, const std::function<bool()>& done = [] { return false; }) {
        const auto deadline = Clock::now() + kLimit;
        while (Clock::now() < deadline) {
            if (done()) {
                return true;
            }
            if (!peer.Pump()) {
                last_status_ = peer.Status();
                peer.Reset();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Bytes the peer has written to its connection or still holds for it.
    static uint64_t BytesOut(const TTrackerPeer& peer) {
        const QSocket* conn = peer.Connection();
        return conn == nullptr ? 0
                               : conn->SentTotal() + static_cast<uint64_t>(conn->QueuedLength());
    }

    FakePeerTask task_;
    int32_t last_status_ = 0;
};

// A scripted HTTP tracker answering every connection with `answer` (by connection index) and
// closing, recording each request.
class HttpTracker {
  public:
    explicit HttpTracker(std::function<std::string(int index)> answer)
        : answer_(std::move(answer)), server_([this](ServerConnection& c) {
              const std::string request = c.ReadUntil("\r\n\r\n");
              if (request.empty()) {
                  return;
              }
              server_.Record(request);
              c.SendInPieces(answer_(c.Index()), 7);
              c.Close();
              c.WaitForClientClose();
          }) {}
    HttpTracker(const HttpTracker&) = delete;
    HttpTracker& operator=(const HttpTracker&) = delete;

    ScriptedServer& Server() { return server_; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(server_.Port()); }

  private:
    std::function<std::string(int)> answer_;
    ScriptedServer server_;
};

TEST_F(TrackerPeerTest, HttpAnnounceHandsThePeersToTheTask) {
    const std::string body =
        PeersBody(Compact({{"10.0.0.1", 6881}, {"10.0.0.2", 51413}, {"192.168.1.9", 80}}) + "xyz",
                  "10:done peersi4e8:intervali30e13:num completedi9e");
    std::vector<std::string> requests;
    ScriptedServer server([&](ServerConnection& c) {
        const std::string request = c.ReadUntil("\r\n\r\n");
        requests.push_back(request);  // read by the test only after the peer is done
        c.SendInPieces(HttpAnswer(body), 5);
        c.WaitForClientClose();  // the length ends the answer, not the close
    });
    ASSERT_TRUE(server.Start());
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());

    TTrackerPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Record("http://" + host + "/announce?passkey=s3cret")));
    EXPECT_TRUE(peer.IsConnected());
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    server.Stop();

    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0],
              "GET /announce?info_hash=%a0%a1%a2%a3%a4%a5%a6%a7%a8%a9%aa%ab%ac%ad%ae%af%b0%b1%b2"
              "%b3&peer_id=abcdefghijklmnopqrst&port=6881&uploaded=111&downloaded=222&left=333"
              "&event=started&key=3800&compact=1&numwant=200 HTTP/1.0\r\n"
              "User-Agent: BitTorrent/4.1.2\r\nHost: " +
                  host + "\r\nConnection: close\r\n\r\n");

    ASSERT_EQ(task_.added_sources.size(), 3u);
    const TPeerId& second = *task_.added_sources[1];
    EXPECT_EQ(second.kind, PeerKind::BtNode);
    EXPECT_TRUE(second.resolved);
    EXPECT_TRUE(second.IsValid());
    EXPECT_EQ(second.max_connections, 1);
    EXPECT_EQ(DottedText(second.ip), "10.0.0.2");
    EXPECT_EQ(second.port, 51413);
    EXPECT_EQ(second.peer_id, TPeerId::CompactPeerId(second.ip, 51413));
}

TEST_F(TrackerPeerTest, HttpAnswerEndsByLengthOrCloseAndATruncatedOneGivesNothing) {
    const std::string body = PeersBody(Compact({{"10.0.0.1", 6881}}));
    struct Case {
        std::string answer;
        size_t peers;
    };
    for (const Case& c : std::vector<Case>{
             {HttpAnswer(body, false), 1},                                  // ends at the close
             {HttpAnswer(body).substr(0, HttpAnswer(body).size() - 1), 0},  // one byte short
             {"HTTP/1.0 200 OK\r\nContent-Length: 5", 0},                   // header never ends
             {HttpAnswer("<html>busy</html>"), 0},                          // not bencode
         }) {
        task_.added_sources.clear();
        HttpTracker tracker([&](int) { return c.answer; });
        ASSERT_TRUE(tracker.Server().Start());
        TTrackerPeer peer(task_);
        ASSERT_TRUE(peer.Attach(Record("http://" + tracker.Host() + "/a")));
        ASSERT_TRUE(Run(peer)) << c.answer;
        EXPECT_EQ(task_.added_sources.size(), c.peers) << c.answer;
    }
}

TEST_F(TrackerPeerTest, UnansweredHttpAnnounceIsSentAgainAfterElevenSeconds) {
    std::atomic<int> requests_seen{0};
    ScriptedServer server([&](ServerConnection& c) {
        c.ReadUntil("\r\n\r\n");
        ++requests_seen;
        c.ReadUntil("\r\n\r\n", std::chrono::milliseconds(kLimit));
        ++requests_seen;
        c.Send(HttpAnswer(PeersBody(Compact({{"10.0.0.7", 7}})), false));
        c.Close();
        c.WaitForClientClose();
    });
    ASSERT_TRUE(server.Start());
    TTrackerPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Record("http://127.0.0.1:" + std::to_string(server.Port()) + "/a")));
    ASSERT_TRUE(Run(peer, [&] { return requests_seen.load() == 1; }));
    const uint64_t one_request = BytesOut(peer);
    ASSERT_GT(one_request, 0u);

    task_.now += TTrackerPeer::kResendSeconds - 1;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(peer.Pump());
    }
    EXPECT_EQ(BytesOut(peer), one_request);
    task_.now += 1;
    ASSERT_TRUE(peer.Pump());
    EXPECT_EQ(BytesOut(peer), 2 * one_request);  // the same request again
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(task_.added_sources.size(), 1u);
}

TEST_F(TrackerPeerTest, RecycledObjectAnnouncesTheNewRecordWithCurrentFigures) {
    HttpTracker tracker([](int index) {
        return HttpAnswer(PeersBody(Compact({{"10.0.0.9", 100 + index}})));
    });
    ASSERT_TRUE(tracker.Server().Start());
    const std::string host = tracker.Host();

    TTrackerPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Record("http://" + host + "/first?a=1")));
    ASSERT_TRUE(Run(peer));
    EXPECT_TRUE(peer.Query().empty());  // the reset object keeps nothing of its announce

    task_.uploaded_total = 7000;
    task_.bytes_left = 0;
    ASSERT_TRUE(peer.Attach(Record("tcp://" + host + "/second")));
    ASSERT_TRUE(Run(peer));
    tracker.Server().Stop();

    const std::vector<std::string> requests = tracker.Server().Recorded();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].substr(0, 11), "GET /first?");
    EXPECT_NE(requests[0].find("&uploaded=111&"), std::string::npos);
    EXPECT_EQ(requests[1].substr(0, 12), "GET /second?");
    EXPECT_NE(requests[1].find("&uploaded=7000&downloaded=222&left=0&"), std::string::npos);
    ASSERT_EQ(task_.added_sources.size(), 2u);
    EXPECT_EQ(task_.added_sources[1]->port, 101);
}

// Every announce ends in exactly one notice naming the announce URL: the answer with its peer
// count, or why there was none.
TEST_F(TrackerPeerTest, EachAnnounceEndsInOneNoticeThatSaysHowItWent) {
    using Kind = NoticeKind;
    struct Case {
        std::string answer;
        Kind kind;
        int64_t number;
        std::string text;
    };
    const std::string two = Compact({{"10.0.0.1", 1}, {"10.0.0.2", 2}});
    for (const Case& c : std::vector<Case>{
             {HttpAnswer(PeersBody(two)), Kind::kTrackerAnswer, 2, ""},
             {HttpAnswer("d14:failure reason12:not\r\nallowede"), Kind::kTrackerFailed, 0,
              "not??allowed"},
             {HttpAnswer("<html>busy</html>"), Kind::kTrackerFailed, 0, "unreadable answer"},
             {"HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nd5:peers", Kind::kTrackerFailed, 0,
              "unreadable answer"},
             {"", Kind::kTrackerFailed, 0, "connection closed before the answer"},
         }) {
        task_.notices.clear();
        HttpTracker tracker([&](int) { return c.answer; });
        ASSERT_TRUE(tracker.Server().Start());
        TTrackerPeer peer(task_);
        ASSERT_TRUE(peer.Attach(Record("http://" + tracker.Host() + "/a")));
        ASSERT_TRUE(Run(peer)) << c.answer;
        ASSERT_EQ(task_.notices.size(), 1u) << c.answer;
        const FakePeerTask::PostedNotice& notice = task_.notices[0];
        EXPECT_EQ(notice.kind, c.kind) << c.answer;
        EXPECT_EQ(notice.address, "http://" + tracker.Host() + "/a");
        EXPECT_EQ(notice.number, c.number) << c.answer;
        EXPECT_EQ(notice.text, c.text) << c.answer;
    }

    // A tracker that takes the request and never answers: the announce times out.
    task_.notices.clear();
    std::atomic<bool> asked{false};
    ScriptedServer silent([&](ServerConnection& c) {
        c.ReadUntil("\r\n\r\n");
        asked = true;
        c.WaitForClientClose();
    });
    ASSERT_TRUE(silent.Start());
    TTrackerPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Record("http://127.0.0.1:" + std::to_string(silent.Port()) + "/a")));
    ASSERT_TRUE(Run(peer, [&] { return asked.load(); }));
    task_.now += TTrackerPeer::kAnswerSeconds - 1;
    EXPECT_TRUE(peer.Pump());
    task_.now += 1;
    EXPECT_FALSE(peer.Pump());
    EXPECT_EQ(peer.Status(), TPeerObject::kStatusTimedOut);
    peer.Reset();
    ASSERT_EQ(task_.notices.size(), 1u);
    EXPECT_EQ(task_.notices[0].kind, NoticeKind::kTrackerFailed);
    EXPECT_EQ(task_.notices[0].text, "time-out");
}

// A regular announce marks its record once its request is out, so that the task tells the
// tracker when it stops. The stopped announce then goes out and is done as soon as it is written:
// it waits for no answer, takes no peers and tells the task nothing.
TEST_F(TrackerPeerTest, StoppedAnnounceIsDoneOnceItsRequestIsWritten) {
    std::atomic<int> requests{0};
    std::vector<std::string> seen;
    ScriptedServer server([&](ServerConnection& c) {
        seen.push_back(c.ReadUntil("\r\n\r\n"));  // read by the test once the server stops
        ++requests;
        if (c.Index() == 0) {
            c.Send(HttpAnswer(PeersBody(Compact({{"10.0.0.8", 8}}))));
        }
        c.WaitForClientClose();
    });
    ASSERT_TRUE(server.Start());
    const RefPtr<TPeerId> record =
        Record("http://127.0.0.1:" + std::to_string(server.Port()) + "/a");
    TTrackerPeer peer(task_);
    ASSERT_TRUE(peer.Attach(record));
    ASSERT_TRUE(Run(peer));
    EXPECT_TRUE(record->announced);
    ASSERT_EQ(task_.added_sources.size(), 1u);

    task_.added_sources.clear();
    task_.notices.clear();
    peer.SetEvent(TrackerRequest::kEventStopped);
    ++record->connections;
    ASSERT_TRUE(peer.Attach(record));
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    EXPECT_FALSE(record->announced);
    const auto deadline = Clock::now() + kLimit;
    while (requests.load() < 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server.Stop();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[1].find("&event=stopped&"), std::string::npos) << seen[1];
    EXPECT_TRUE(task_.added_sources.empty());
    EXPECT_TRUE(task_.notices.empty());
}

TEST_F(TrackerPeerTest, HttpTrackerIsReachedThroughTheEngineProxy) {
    // The proxy plays the tracker behind its tunnel; nothing listens at the tracker's address.
    std::string tunnel_request;
    std::string announce;
    ScriptedServer proxy([&](ServerConnection& c) {
        tunnel_request = c.ReadUntil("\r\n\r\n");
        c.Send("HTTP/1.1 200 Connection established\r\n\r\n");
        announce = c.ReadUntil("\r\n\r\n");
        c.Send(HttpAnswer(PeersBody(Compact({{"10.0.0.4", 4444}}))));
        c.WaitForClientClose();
    });
    ASSERT_TRUE(proxy.Start());
    QProxyConfig config;
    config.type = QProxyConfig::kHttp;
    config.address = ParseDottedAddress("127.0.0.1");
    config.port = proxy.Port();
    SetEngineProxyConfig(config);
    TTrackerPeer peer(task_);
    const bool attached = peer.Attach(Record("http://127.0.0.9:7/ann"));
    SetEngineProxyConfig(QProxyConfig());  // a connection keeps the settings it started with
    ASSERT_TRUE(attached);
    ASSERT_TRUE(Run(peer));
    proxy.Stop();
    EXPECT_EQ(tunnel_request.substr(0, 33), "CONNECT 127.0.0.9:7 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(announce.substr(0, 9), "GET /ann?");
    ASSERT_EQ(task_.added_sources.size(), 1u);
    EXPECT_EQ(task_.added_sources[0]->port, 4444);
}

TEST_F(TrackerPeerTest, TrackerThatRefusesTheConnectionEndsTheObject) {
    const int32_t port = test::FreeTcpPort();
    ASSERT_GT(port, 0);
    TTrackerPeer peer(task_);
    if (peer.Attach(Record("http://127.0.0.1:" + std::to_string(port) + "/a"))) {
        ASSERT_TRUE(Run(peer));
    }
    EXPECT_FALSE(peer.IsConnected());
    EXPECT_TRUE(task_.added_sources.empty());
    ASSERT_EQ(task_.notices.size(), 1u);
    EXPECT_EQ(task_.notices[0].kind, NoticeKind::kTrackerFailed);
    EXPECT_EQ(task_.notices[0].text, "refused");
}

// The UDP tracker side, played by the test on its own thread between pumps of the peer.
class UdpTrackerTest : public TrackerPeerTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tracker_.Open(ParseDottedAddress("127.0.0.1"), 0));
        ASSERT_TRUE(stranger_.Open(ParseDottedAddress("127.0.0.1"), 0));
        task_.local_bind_address = ParseDottedAddress("127.0.0.3");
        task_.listen_address = ParseDottedAddress("127.0.0.3");
    }

    std::string Url() const { return "udp://127.0.0.1:" + std::to_string(tracker_.LocalPort()); }

    // Pumps the peer until the tracker socket holds a datagram; empty after the limit or when
    // the peer was dropped.
    std::string AwaitDatagram(TTrackerPeer& peer) {
        const auto deadline = Clock::now() + kLimit;
        std::array<uint8_t, 4096> buffer{};
        while (Clock::now() < deadline) {
            const int32_t length = tracker_.ReceiveFrom(buffer, from_ip_, from_port_);
            if (length > 0) {
                return std::string(reinterpret_cast<const char*>(buffer.data()),
                                   static_cast<size_t>(length));
            }
            if (!peer.Pump()) {
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return {};
    }
    void Answer(const std::string& bytes, QUdpSocket* from = nullptr) {
        QUdpSocket& socket = from != nullptr ? *from : tracker_;
        ASSERT_TRUE(socket.SendTo({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
                                  from_ip_, from_port_));
    }
    // Lets the peer read whatever has been sent to it: the datagrams are on loopback already,
    // and a few pumps take them (a bounded number, each reading up to 8).
    void PumpSome(TTrackerPeer& peer, int times = 5) {
        for (int i = 0; i < times && peer.Pump(); ++i) {
        }
    }
    bool TrackerHasNothing() {
        std::array<uint8_t, 64> buffer{};
        uint32_t ip = 0;
        int32_t port = 0;
        return tracker_.ReceiveFrom(buffer, ip, port) == 0;
    }

    QUdpSocket tracker_;
    QUdpSocket stranger_;  // same address, another port: not the tracker
    uint32_t from_ip_ = 0;
    int32_t from_port_ = 0;
};

TEST_F(UdpTrackerTest, ConnectAnnounceAndAnswerFromOurLocalAddress) {
    TTrackerPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Record(Url() + "/announce")));
    const std::string connect = AwaitDatagram(peer);
    ASSERT_EQ(connect.size(), 16u);
    EXPECT_EQ(DottedText(from_ip_), "127.0.0.3");  // the engine's bind address
    EXPECT_EQ(connect.substr(0, 12), std::string("\0\0\x04\x17\x27\x10\x19\x80\0\0\0\0", 12));
    const std::string connect_tid = connect.substr(12, 4);

    // Another transaction, the right one from a stranger: both ignored, and the object does not
    // repeat its connect request by itself.
    std::string wrong_tid = connect_tid;
    wrong_tid[0] = static_cast<char>(wrong_tid[0] ^ 0x55);
    Answer(std::string("\0\0\0\0", 4) + wrong_tid + "CONNID01");
    Answer(std::string("\0\0\0\0", 4) + connect_tid + "CONNID02", &stranger_);
    PumpSome(peer);
    EXPECT_NE(peer.State(), TPeerObject::kEstablished);
    EXPECT_TRUE(TrackerHasNothing());

    Answer(std::string("\0\0\0\0", 4) + connect_tid + "CONNID03");
    const std::string announce = AwaitDatagram(peer);
    ASSERT_EQ(announce.size(), 104u);
    EXPECT_EQ(announce.substr(0, 12), std::string("CONNID03\0\0\0\1", 12));
    EXPECT_EQ(announce.substr(16, 20), std::string(task_.info_hash.begin(), task_.info_hash.end()));
    EXPECT_EQ(announce.substr(36, 20),
              std::string(task_.handshake_peer_id.begin(), task_.handshake_peer_id.end()));
    EXPECT_EQ(announce.substr(56, 8), std::string("\0\0\0\0\0\0\0\xDE", 8));      // downloaded 222
    EXPECT_EQ(announce.substr(80, 8), std::string("\0\0\0\x02\x7F\0\0\x03", 8));  // started, ip
    EXPECT_EQ(announce.substr(92, 6), std::string("\0\0\0\xC8\x1A\xE1", 6));      // 200, port 6881
    const std::string announce_tid = announce.substr(12, 4);

    // Unanswered: the same transaction goes out again after 11 seconds, not before.
    task_.now += TTrackerPeer::kResendSeconds - 1;
    PumpSome(peer);
    EXPECT_TRUE(TrackerHasNothing());
    task_.now += 1;
    const std::string again = AwaitDatagram(peer);
    ASSERT_EQ(again.size(), 104u);
    EXPECT_EQ(again.substr(12, 4), announce_tid);

    const std::string head =
        std::string("\0\0\0\1", 4) + announce_tid + std::string("\0\0\x07\x08\0\0\0\1\0\0\0\2", 12);
    const std::string peers =
        Compact({{"10.0.0.1", 6881}, {"10.0.0.2", 6882}, {"10.0.0.3", 6883}}) + "\1\2";
    std::string other_tid = head;
    other_tid[4] = static_cast<char>(other_tid[4] ^ 0x55);
    Answer(other_tid + peers);
    Answer(head + peers, &stranger_);
    PumpSome(peer);
    EXPECT_TRUE(task_.added_sources.empty());
    EXPECT_TRUE(peer.IsConnected());

    Answer(head + peers);
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    ASSERT_EQ(task_.added_sources.size(), 3u);
    const TPeerId& third = *task_.added_sources[2];
    EXPECT_EQ(third.kind, PeerKind::BtNode);
    EXPECT_TRUE(third.resolved);
    EXPECT_EQ(third.max_connections, 1);
    EXPECT_EQ(DottedText(third.ip), "10.0.0.3");
    EXPECT_EQ(third.port, 6883);
    EXPECT_EQ(third.peer_id, TPeerId::CompactPeerId(third.ip, 6883));
}

TEST_F(UdpTrackerTest, ErrorAnswerToTheConnectEndsTheAnnounce) {
    TTrackerPeer peer(task_);
    ASSERT_TRUE(peer.Attach(Record(Url())));
    const std::string connect = AwaitDatagram(peer);
    ASSERT_EQ(connect.size(), 16u);
    Answer(std::string("\0\0\0\3", 4) + connect.substr(12, 4) + "go away");
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    EXPECT_TRUE(task_.added_sources.empty());
    ASSERT_EQ(task_.notices.size(), 1u);
    EXPECT_EQ(task_.notices[0].kind, NoticeKind::kTrackerFailed);
    EXPECT_EQ(task_.notices[0].address, Url());
    EXPECT_EQ(task_.notices[0].text, "go away");
}

// Over UDP the stopped announce is fire-and-forget too: once the connect is answered, the
// announce (event 3) goes out and the object is done.
TEST_F(UdpTrackerTest, StoppedAnnounceIsDoneOnceItIsSent) {
    TTrackerPeer peer(task_);
    peer.SetEvent(TrackerRequest::kEventStopped);
    ASSERT_TRUE(peer.Attach(Record(Url())));
    const std::string connect = AwaitDatagram(peer);
    ASSERT_EQ(connect.size(), 16u);
    Answer(std::string("\0\0\0\0", 4) + connect.substr(12, 4) + "CONNID04");
    const std::string announce = AwaitDatagram(peer);
    ASSERT_EQ(announce.size(), 104u);
    EXPECT_EQ(announce.substr(80, 4), std::string("\0\0\0\3", 4));
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    EXPECT_TRUE(task_.notices.empty());
}

bool Lists(const std::vector<test::TrackerPeer>& peers, const std::string& address, int32_t port) {
    return std::find(peers.begin(), peers.end(), test::TrackerPeer{address, port}) != peers.end();
}

bool Holds(const std::vector<RefPtr<TPeerId>>& records, const std::string& address, int32_t port) {
    return std::any_of(records.begin(), records.end(), [&](const RefPtr<TPeerId>& record) {
        return DottedText(record->ip) == address && record->port == port &&
               record->kind == PeerKind::BtNode;
    });
}

// A real tracker on loopback: a peer announced from 127.0.0.5 reaches the task over HTTP and over
// UDP, and the tracker records the engine at its bind address, not at 127.0.0.1. One object does
// both announces, recycled in between as the task recycles it.
TEST_F(TrackerPeerTest, RealTrackerOverHttpAndUdp) {
    if (!test::OpenTracker::Available()) {
        GTEST_SKIP() << "no opentracker";
    }
    std::string hex;
    for (const uint8_t byte : task_.info_hash) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    test::OpenTracker tracker;
    ASSERT_TRUE(tracker.Start({hex})) << tracker.LogText();
    test::TrackerAnnounce other;
    other.info_hash_hex = hex;
    other.from_address = "127.0.0.5";
    other.port = 7005;
    other.left = 0;
    // The tracker may refuse announces for a moment after its whitelist was loaded.
    std::optional<test::TrackerReply> reply;
    for (int attempt = 0; attempt < 50 && !(reply.has_value() && reply->accepted); ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        reply = tracker.HttpAnnounce(other);
    }
    ASSERT_TRUE(reply.has_value() && reply->accepted) << tracker.LogText();

    TTrackerPeer peer(task_);
    task_.local_bind_address = ParseDottedAddress("127.0.0.3");
    task_.listen_port = 7003;
    ASSERT_TRUE(peer.Attach(Record(tracker.HttpAnnounceUrl())));
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    EXPECT_TRUE(Holds(task_.added_sources, "127.0.0.5", 7005));
    EXPECT_TRUE(Lists(tracker.Peers(hex), "127.0.0.3", 7003));

    task_.added_sources.clear();
    task_.local_bind_address = ParseDottedAddress("127.0.0.4");
    task_.listen_port = 7004;
    ASSERT_TRUE(peer.Attach(Record(tracker.UdpAnnounceUrl())));
    ASSERT_TRUE(Run(peer));
    EXPECT_EQ(last_status_, TPeerObject::kStatusFinished);
    EXPECT_TRUE(Holds(task_.added_sources, "127.0.0.5", 7005));
    EXPECT_TRUE(Holds(task_.added_sources, "127.0.0.3", 7003));
    EXPECT_TRUE(Lists(tracker.Peers(hex), "127.0.0.4", 7004));
}

}  // namespace
}  // namespace kf
