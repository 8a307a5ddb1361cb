#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TrackerAnswer.h"
#include "engine/peers/TrackerRequest.h"

namespace kf {
namespace {

using HttpState = TrackerAnswer::HttpState;

std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Bencoded(const std::string& text) {
    return std::to_string(text.size()) + ":" + text;
}

// 6-byte compact entries.
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

TrackerRequest::Figures SampleFigures() {
    TrackerRequest::Figures figures;
    for (uint8_t i = 0; i < 20; ++i) {
        figures.info_hash[i] = static_cast<uint8_t>(i * 13);  // letters, digits and others
    }
    figures.peer_id = {0x00, 0x01, 'K', 'f', '-', 'a', 'Z', '9', ' ', 0xFF,
                       '%',  '~',  '.', '_', 'b', 'c', 'd', 'e', 'f', 'g'};
    figures.port = 6881;
    figures.uploaded = 12345678901LL;
    figures.downloaded = 42;
    figures.left = 5000000000LL;
    figures.event = TrackerRequest::kEventStarted;
    return figures;
}

TEST(TrackerRequestTest, QueryGoesOnTheRecordPathAloneWithEveryParameterEscaped) {
    // The tracker URL's own query must not survive into the announce.
    TPeerId record("tracker://http://127.0.0.1:6969/announce.php?passkey=secret&x=1");
    ASSERT_TRUE(record.ParseSourceAddress());
    const std::string query = TrackerRequest::HttpQuery(record.UrlInfo().path, SampleFigures());
    EXPECT_EQ(query,
              "/announce.php?info_hash=%00%0d%1a%274AN%5bhu%82%8f%9c%a9%b6%c3%d0%dd%ea%f7"
              "&peer_id=%00%01Kf%2daZ9%20%ff%25%7e%2e%5fbcdefg&port=6881&uploaded=12345678901"
              "&downloaded=42&left=5000000000&event=started&key=3800&compact=1&numwant=200");
    EXPECT_EQ(query.find("passkey"), std::string::npos);

    TrackerRequest::Figures figures = SampleFigures();
    figures.event = TrackerRequest::kEventCompleted;
    EXPECT_NE(TrackerRequest::HttpQuery("/a", figures).find("&event=completed&"),
              std::string::npos);
    figures.event = 0;
    EXPECT_NE(TrackerRequest::HttpQuery("/a", figures).find("&event=stopped&"), std::string::npos);
    // A decoded space or a high byte in the path would break the request line.
    EXPECT_EQ(TrackerRequest::HttpQuery("/an nounce\x80", figures).substr(0, 17),
              "/an%20nounce%80?i");
    EXPECT_EQ(TrackerRequest::HttpQuery("", figures), "");
    EXPECT_EQ(TrackerRequest::HttpQuery("announce", figures), "");
}

// The event is the one thing that differs between the announces of a task's run: by name in the
// HTTP query, by number at offset 80 of the UDP announce.
TEST(TrackerRequestTest, EachEventGoesOutByNameOverHttpAndByNumberOverUdp) {
    const TrackerRequest::ConnectionId connection{1, 2, 3, 4, 5, 6, 7, 8};
    const TrackerRequest::TransactionId transaction{9, 8, 7, 6};
    TrackerRequest::Figures figures = SampleFigures();
    const std::string started_query = TrackerRequest::HttpQuery("/a", figures);
    const auto started_datagram = TrackerRequest::UdpAnnounce(connection, transaction, figures);
    const struct {
        int32_t event;
        std::string name;
        uint8_t number;
    } cases[] = {{TrackerRequest::kEventCompleted, "completed", 1},
                 {TrackerRequest::kEventStarted, "started", 2},
                 {TrackerRequest::kEventStopped, "stopped", 3}};
    for (const auto& c : cases) {
        figures.event = c.event;
        std::string expected_query = started_query;
        expected_query.replace(expected_query.find("&event=started&"), 15,
                               "&event=" + c.name + "&");
        EXPECT_EQ(TrackerRequest::HttpQuery("/a", figures), expected_query) << c.name;
        auto expected_datagram = started_datagram;
        expected_datagram[83] = c.number;
        EXPECT_EQ(TrackerRequest::UdpAnnounce(connection, transaction, figures), expected_datagram)
            << c.name;
    }
}

TEST(TrackerRequestTest, RequestTextNamesTheHostAndClosesTheConnection) {
    EXPECT_EQ(TrackerRequest::HttpRequest("/a?b=1", "tracker.example", 80),
              "GET /a?b=1 HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\n"
              "Host: tracker.example\r\nConnection: close\r\n\r\n");
    EXPECT_NE(
        TrackerRequest::HttpRequest("/a", "10.0.0.1", 6969).find("\r\nHost: 10.0.0.1:6969\r\n"),
        std::string::npos);
    // Nothing may smuggle a header line in.
    EXPECT_EQ(TrackerRequest::HttpRequest("/a\r\nX: y", "h", 80), "");
    EXPECT_EQ(TrackerRequest::HttpRequest("/a", "h\nX: y", 80), "");
    EXPECT_EQ(TrackerRequest::HttpRequest("", "h", 80), "");
}

TEST(TrackerRequestTest, UdpRequestsFollowTheWireLayout) {
    const TrackerRequest::TransactionId transaction{0xDE, 0xAD, 0xBE, 0xEF};
    const auto connect = TrackerRequest::UdpConnect(transaction);
    EXPECT_EQ(std::vector<uint8_t>(connect.begin(), connect.end()),
              (std::vector<uint8_t>{0x00, 0x00, 0x04, 0x17, 0x27, 0x10, 0x19, 0x80, 0, 0, 0, 0,
                                    0xDE, 0xAD, 0xBE, 0xEF}));

    const TrackerRequest::ConnectionId connection{1, 2, 3, 4, 5, 6, 7, 8};
    TrackerRequest::Figures figures = SampleFigures();
    figures.ip = ParseDottedAddress("127.0.0.3");
    figures.event = 0;  // anything but completed or started is "stopped"
    const auto announce = TrackerRequest::UdpAnnounce(connection, transaction, figures);
    const std::vector<uint8_t> bytes(announce.begin(), announce.end());
    auto at = [&](size_t offset, size_t length) {
        return std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + length);
    };
    EXPECT_EQ(at(0, 8), std::vector<uint8_t>(connection.begin(), connection.end()));
    EXPECT_EQ(at(8, 4), (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(at(12, 4), std::vector<uint8_t>(transaction.begin(), transaction.end()));
    EXPECT_EQ(at(16, 20), std::vector<uint8_t>(figures.info_hash.begin(), figures.info_hash.end()));
    EXPECT_EQ(at(36, 20), std::vector<uint8_t>(figures.peer_id.begin(), figures.peer_id.end()));
    EXPECT_EQ(at(56, 8), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 42}));
    EXPECT_EQ(at(64, 8), (std::vector<uint8_t>{0, 0, 0, 0x01, 0x2A, 0x05, 0xF2, 0x00}));
    EXPECT_EQ(at(72, 8), (std::vector<uint8_t>{0, 0, 0, 0x02, 0xDF, 0xDC, 0x1C, 0x35}));
    EXPECT_EQ(at(80, 4), (std::vector<uint8_t>{0, 0, 0, 3}));
    EXPECT_EQ(at(84, 4), (std::vector<uint8_t>{127, 0, 0, 3}));
    EXPECT_EQ(at(88, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(at(92, 4), (std::vector<uint8_t>{0, 0, 0, 200}));
    EXPECT_EQ(at(96, 2), (std::vector<uint8_t>{0x1A, 0xE1}));
    EXPECT_EQ(at(98, 6), std::vector<uint8_t>(6, 0));
}

TEST(TrackerAnswerFrameTest, ContentLengthBodyCompletesExactlyAtItsLastByte) {
    const std::string body = "d8:intervali1800e5:peers6:" + Compact({{"10.1.2.3", 6881}}) + "e";
    // Headers after Content-Length: a length counted from the header name would end too early.
    const std::string answer =
        "HTTP/1.0 200 OK\r\ncontent-length:  " + std::to_string(body.size()) +
        "\r\nContent-Type: text/plain\r\nX-Padding: 0123456789\r\n\r\n" + body +
        "GARBAGE AFTER THE BODY";
    const size_t complete_at = answer.size() - 22;
    for (size_t length = 0; length < complete_at; ++length) {
        const auto frame = TrackerAnswer::FrameHttp(Bytes(answer.substr(0, length)), false);
        ASSERT_EQ(frame.state, HttpState::kNeedMore) << length;
        // The tracker closing before the body is whole is a broken answer, never a short one.
        ASSERT_EQ(TrackerAnswer::FrameHttp(Bytes(answer.substr(0, length)), true).state,
                  HttpState::kBroken)
            << length;
    }
    for (size_t length = complete_at; length <= answer.size(); ++length) {
        const auto frame = TrackerAnswer::FrameHttp(Bytes(answer.substr(0, length)), false);
        ASSERT_EQ(frame.state, HttpState::kComplete) << length;
        ASSERT_EQ(frame.body, body);
    }
}

TEST(TrackerAnswerFrameTest, AnswersWithoutALengthEndAtTheClose) {
    const std::string body = "d5:peers0:e";
    for (const std::string head : {"HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.0 200 OK\n\n"}) {
        EXPECT_EQ(TrackerAnswer::FrameHttp(Bytes(head + body), false).state, HttpState::kNeedMore);
        const auto frame = TrackerAnswer::FrameHttp(Bytes(head + body), true);
        EXPECT_EQ(frame.state, HttpState::kComplete);
        EXPECT_EQ(frame.body, body);
    }
    const std::string zero = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(TrackerAnswer::FrameHttp(Bytes(zero), false).state, HttpState::kComplete);
    EXPECT_EQ(TrackerAnswer::FrameHttp(Bytes("HTTP/1.0 200 OK\r\nServer: x"), true).state,
              HttpState::kBroken);
}

TEST(TrackerAnswerFrameTest, ChunkedBodyIsJoinedAndMayEndBeforeTheClose) {
    const std::string answer =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 99\r\n\r\n"
        "4;ext=1\r\nd5:p\r\nA\r\neers0:e   \r\n0\r\n\r\n";
    const auto frame = TrackerAnswer::FrameHttp(Bytes(answer), false);
    EXPECT_EQ(frame.state, HttpState::kComplete);
    EXPECT_EQ(frame.body, "d5:peers0:e   ");
    for (size_t length = 0; length + 4 < answer.size(); ++length) {
        EXPECT_EQ(TrackerAnswer::FrameHttp(Bytes(answer.substr(0, length)), false).state,
                  HttpState::kNeedMore)
            << length;
    }
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const std::string bad : {"zz\r\n", "5\r\nabcdeX\r\n", "FFFFFFFFFF\r\n", "7FFFFFF\r\n"}) {
        EXPECT_EQ(TrackerAnswer::FrameHttp(Bytes(head + bad), false).state, HttpState::kBroken)
            << bad;
    }
}

TEST(TrackerAnswerFrameTest, UnusableLengthsAndOversizedAnswersAreBroken) {
    for (const std::string length : {"-1", "12abc", "", "99999999999999999999", "1000000"}) {
        EXPECT_EQ(TrackerAnswer::FrameHttp(
                      Bytes("HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\nd"), false)
                      .state,
                  HttpState::kBroken)
            << length;
    }
    EXPECT_EQ(
        TrackerAnswer::FrameHttp(
            Bytes("HTTP/1.0 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc"), false)
            .state,
        HttpState::kBroken);
    const std::string endless(TrackerAnswer::kMaxHttpAnswer + 1, 'x');
    EXPECT_EQ(TrackerAnswer::FrameHttp(Bytes(endless), false).state, HttpState::kBroken);
}

TEST(TrackerAnswerBodyTest, CompactPeersComeInWholeSixByteEntries) {
    const std::string three = Compact({{"10.0.0.1", 6881}, {"192.168.7.9", 1}, {"1.2.3.4", 65535}});
    ASSERT_EQ(three.size(), 18u);
    for (size_t extra = 0; extra <= 5; ++extra) {
        const std::string peers = three + std::string(extra, '\x7F');
        const TrackerAnswer answer =
            TrackerAnswer::ParseHttpBody(Bytes("d8:intervali1800e5:peers" + Bencoded(peers) + "e"));
        ASSERT_TRUE(answer.well_formed);
        ASSERT_EQ(answer.peers.size(), 3u) << extra;
        EXPECT_EQ(DottedText(answer.peers[1].ip), "192.168.7.9");
        EXPECT_EQ(answer.peers[1].port, 1);
        EXPECT_EQ(answer.peers[2].port, 65535);
        EXPECT_EQ(answer.peers[0].peer_id,
                  TPeerId::CompactPeerId(ParseDottedAddress("10.0.0.1"), 6881));
    }
    // Port 0 and the addresses 0.0.0.0 and 255.255.255.255 are no peers.
    const TrackerAnswer unusable = TrackerAnswer::ParseHttpBody(
        Bytes("d5:peers" +
              Bencoded(Compact({{"10.0.0.1", 0}, {"0.0.0.0", 80}, {"10.0.0.2", 80}}) +
                       std::string("\xFF\xFF\xFF\xFF\x00\x50", 6)) +
              "e"));
    ASSERT_EQ(unusable.peers.size(), 1u);
    EXPECT_EQ(DottedText(unusable.peers[0].ip), "10.0.0.2");
}

TEST(TrackerAnswerBodyTest, IntervalAndCountsFollowTheirRules) {
    struct Case {
        std::string field;
        int32_t interval;
    };
    for (const Case& c : std::vector<Case>{{"8:intervali30e", 600},
                                           {"8:intervali60e", 600},
                                           {"8:intervali61e", 61},
                                           {"8:intervali-5e", 600},
                                           {"8:intervali99999999999e", 2147483647},
                                           {"8:interval4:1800", 600},
                                           {"", 600}}) {
        const TrackerAnswer answer =
            TrackerAnswer::ParseHttpBody(Bytes("d" + c.field + "5:peers0:e"));
        ASSERT_TRUE(answer.well_formed) << c.field;
        EXPECT_EQ(answer.interval, c.interval) << c.field;
    }
    const TrackerAnswer counts =
        TrackerAnswer::ParseHttpBody(Bytes("d10:done peersi7e13:num completedi12e5:peers0:e"));
    EXPECT_EQ(counts.done_peers, 7);
    EXPECT_EQ(counts.num_completed, 12);
}

TEST(TrackerAnswerBodyTest, DictionaryPeersKeepTheirIdsOrGetTheSynthesizedOne) {
    const std::string id(20, 'Q');
    const std::string body =
        "d5:peersl"
        "d2:ip8:10.0.0.17:peer id" +
        Bencoded(id + "extra") +
        "4:porti6881ee"
        "d2:ip8:10.0.0.24:porti51413ee"             // no peer id
        "d2:ip8:10.0.0.37:peer id3:abc4:porti80ee"  // a short id counts as none
        "d2:ip11:example.org4:porti80ee"            // names are not resolved here
        "d2:ip3:::14:porti80ee"                     // IPv6
        "d2:ip8:10.0.0.44:porti0ee"                 // bad port
        "d2:ip8:10.0.0.54:porti65536ee"             // bad port
        "d2:ip8:10.0.0.6e"                          // no port
        "d2:ip8:10.0.0.74:port4:6881e"              // port as text
        "l2:ip8:10.0.0.8e"                          // not a dictionary
        "6:string"                                  // not a dictionary
        "ee";
    const TrackerAnswer answer = TrackerAnswer::ParseHttpBody(Bytes(body));
    ASSERT_TRUE(answer.well_formed);
    ASSERT_EQ(answer.peers.size(), 3u);
    EXPECT_EQ(std::string(answer.peers[0].peer_id.begin(), answer.peers[0].peer_id.end()), id);
    EXPECT_EQ(answer.peers[0].port, 6881);
    EXPECT_EQ(answer.peers[1].peer_id,
              TPeerId::DictionaryPeerId(ParseDottedAddress("10.0.0.2"), 51413));
    EXPECT_EQ(answer.peers[2].peer_id,
              TPeerId::DictionaryPeerId(ParseDottedAddress("10.0.0.3"), 80));
}

TEST(TrackerAnswerBodyTest, FailuresAndHostileBodiesGiveNoPeers) {
    const TrackerAnswer failure = TrackerAnswer::ParseHttpBody(
        Bytes("d14:failure reason63:Requested download is not authorized for use with this "
              "tracker.e"));
    EXPECT_TRUE(failure.well_formed);
    EXPECT_TRUE(failure.peers.empty());
    ASSERT_TRUE(failure.failure_reason.has_value());
    EXPECT_EQ(failure.failure_reason->substr(0, 9), "Requested");
    EXPECT_EQ(failure.interval, 600);

    const std::string six = Compact({{"10.0.0.1", 6881}});
    for (const std::string& body : std::vector<std::string>{
             "", "le", "5:peers",
             "d5:peers" + Bencoded(six),                           // unterminated
             "d5:peers7:" + six + "e",                             // length past the input
             "d5:peersi6ee", "d5:peers" + Bencoded(six) + "i5ee",  // integer-carrying values
             "d5:peersd2:ip8:10.0.0.14:porti6881eee",              // a dictionary, not a list
             std::string(3000, 'l') + std::string(3000, 'e'),      // nesting beyond the limit
             "<html>404</html>"}) {
        const TrackerAnswer answer = TrackerAnswer::ParseHttpBody(Bytes(body));
        EXPECT_TRUE(answer.peers.empty()) << body;
    }

    // A flood of entries is cut at the cap.
    std::string many;
    for (int i = 0; i < 3000; ++i) {
        many += Compact(
            {{"10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1), 6881}});
    }
    EXPECT_EQ(TrackerAnswer::ParseHttpBody(Bytes("d5:peers" + Bencoded(many) + "e")).peers.size(),
              TrackerAnswer::kMaxPeers);
}

TEST(TrackerAnswerUdpTest, ConnectAnswerMustEchoOurTransaction) {
    const TrackerRequest::TransactionId sent{1, 2, 3, 4};
    std::string answer("\0\0\0\0\1\2\3\4ABCDEFGH", 16);
    const auto id = TrackerAnswer::ParseUdpConnect(Bytes(answer), sent);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(std::string(id->begin(), id->end()), "ABCDEFGH");

    std::string other = answer;
    other[7] = 5;  // another transaction
    EXPECT_FALSE(TrackerAnswer::ParseUdpConnect(Bytes(other), sent).has_value());
    std::string announce_action = answer;
    announce_action[3] = 1;
    EXPECT_FALSE(TrackerAnswer::ParseUdpConnect(Bytes(announce_action), sent).has_value());
    EXPECT_FALSE(TrackerAnswer::ParseUdpConnect(Bytes(answer.substr(0, 15)), sent).has_value());
    EXPECT_FALSE(TrackerAnswer::ParseUdpConnect({}, sent).has_value());
}

TEST(TrackerAnswerUdpTest, AnnounceAnswerCarriesCompactPeersFromOffsetTwenty) {
    const TrackerRequest::TransactionId sent{9, 8, 7, 6};
    const std::string head("\0\0\0\1\x09\x08\x07\x06\0\0\x07\x08\0\0\0\1\0\0\0\2", 20);
    const std::string peers = Compact({{"10.0.0.1", 1}, {"10.0.0.2", 2}, {"10.0.0.3", 3}});
    for (size_t extra = 0; extra <= 5; ++extra) {
        const auto answer =
            TrackerAnswer::ParseUdpAnnounce(Bytes(head + peers + std::string(extra, '\1')), sent);
        ASSERT_TRUE(answer.has_value());
        ASSERT_EQ(answer->peers.size(), 3u);
        EXPECT_EQ(answer->peers[2].port, 3);
        EXPECT_EQ(answer->peers[2].peer_id,
                  TPeerId::CompactPeerId(ParseDottedAddress("10.0.0.3"), 3));
    }
    // A tracker that refuses the hash may answer with the 8-byte header alone.
    const auto bare = TrackerAnswer::ParseUdpAnnounce(Bytes(head.substr(0, 8)), sent);
    ASSERT_TRUE(bare.has_value());
    EXPECT_TRUE(bare->peers.empty());

    EXPECT_FALSE(
        TrackerAnswer::ParseUdpAnnounce(Bytes(head.substr(0, 4) + "\1\1\1\1" + peers), sent));
    EXPECT_FALSE(TrackerAnswer::ParseUdpAnnounce(Bytes(head.substr(0, 7)), sent));
    const std::string error = std::string("\0\0\0\3\x09\x08\x07\x06", 8) + "unregistered torrent";
    const auto refused = TrackerAnswer::ParseUdpAnnounce(Bytes(error), sent);
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(refused->peers.empty());
    EXPECT_EQ(refused->failure_reason, "unregistered torrent");
    EXPECT_EQ(TrackerAnswer::ParseUdpError(Bytes(error), sent), "unregistered torrent");
    EXPECT_FALSE(TrackerAnswer::ParseUdpError(Bytes(error), TrackerRequest::TransactionId{}));
}

}  // namespace
}  // namespace kf
