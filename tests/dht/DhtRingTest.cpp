#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/ContentFiles.h"
#include "support/LibtorrentDhtRing.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using kf::test::LibtorrentDhtRing;

std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

// The value of a short string key of a KRPC message ("1:t2:aa" -> "aa"), empty when absent.
std::string StringAfter(std::string_view message, std::string_view key) {
    const size_t at = message.find(key);
    if (at == std::string_view::npos) {
        return {};
    }
    std::string_view rest = message.substr(at + key.size());
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 3) {
        return {};
    }
    const size_t length = std::stoul(std::string(rest.substr(0, colon)));
    return colon + 1 + length <= rest.size() ? std::string(rest.substr(colon + 1, length))
                                             : std::string();
}

// A UDP socket on a 127/8 address that plays a DHT node outside the ring.
class UdpNode {
  public:
    explicit UdpNode(const char* address) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, address, &local.sin_addr);
        socklen_t length = sizeof(local);
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&local), length) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            endpoint_ = std::string(address) + ":" + std::to_string(ntohs(local.sin_port));
        }
    }
    ~UdpNode() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UdpNode(const UdpNode&) = delete;
    UdpNode& operator=(const UdpNode&) = delete;

    const std::string& Endpoint() const { return endpoint_; }

    // Answers every query that arrives within `timeout` with a reply holding only our id; the
    // number answered.
    int AnswerQueries(std::chrono::milliseconds timeout) {
        int answered = 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline && answered < 100) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 50) != 1) {
                continue;
            }
            char buffer[2048];
            sockaddr_in from{};
            socklen_t from_length = sizeof(from);
            const ssize_t got = recvfrom(fd_, buffer, sizeof(buffer), 0,
                                         reinterpret_cast<sockaddr*>(&from), &from_length);
            const std::string_view message(buffer, got > 0 ? static_cast<size_t>(got) : 0);
            const std::string tid = StringAfter(message, "1:t");
            if (tid.empty() || message.find("1:y1:q") == std::string_view::npos) {
                continue;
            }
            const std::string reply = "d1:rd2:id20:" + std::string(20, 'E') + "e1:t" +
                                      std::to_string(tid.size()) + ":" + tid + "1:y1:re";
            sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   from_length);
            ++answered;
        }
        return answered;
    }

  private:
    int fd_;
    std::string endpoint_;
};

class DhtRing : public testing::Test {
  protected:
    void SetUp() override {
        if (!LibtorrentDhtRing::Available() || !kf::test::HaveMktorrent()) {
            GTEST_SKIP() << "python3-libtorrent or mktorrent not installed";
        }
    }
};

TEST_F(DhtRing, TwentyNodesComeUpAndFindTheSeederThroughTheDht) {
    kf::test::TempDir dir;
    const std::string data = dir / "payload.bin";
    std::ofstream(data, std::ios::binary) << kf::test::RandomBytes(300000, 24);
    const std::string metainfo =
        kf::test::MakeTrackerlessTorrent(data, 16, dir / "payload.torrent");
    ASSERT_FALSE(metainfo.empty());
    const std::string info_hash = kf::test::TorrentInfoHashHex(metainfo);

    LibtorrentDhtRing ring;
    ASSERT_TRUE(ring.Start(
        {.nodes = 20, .seed_torrent = dir / "payload.torrent", .seed_data_dir = dir.Path()}))
        << ring.LogText();
    RecordProperty("ready_seconds", std::to_string(ring.ReadySeconds()));

    // Twenty distinct loopback addresses in order, one port each, as the bootstrap list.
    const std::vector<std::string>& nodes = ring.Endpoints();
    ASSERT_EQ(nodes.size(), 20u);
    std::string expected_bootstrap;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const std::string address = "127.0.0." + std::to_string(2 + i);
        EXPECT_TRUE(nodes[i].starts_with(address + ":")) << nodes[i];
        EXPECT_GT(std::stoi(nodes[i].substr(address.size() + 1)), 0);
        expected_bootstrap += (i == 0 ? "" : ",") + nodes[i];
    }
    EXPECT_EQ(ring.BootstrapText(), expected_bootstrap);
    EXPECT_EQ(ring.Nodes(5s), nodes);

    // The last node to join and one in the middle find node 0 (its torrent port is its DHT port).
    for (int finder : {19, 9}) {
        const std::optional<LibtorrentDhtRing::Lookup> lookup =
            ring.GetPeers(finder, info_hash, 30s);
        ASSERT_TRUE(lookup.has_value()) << ring.LogText();
        EXPECT_TRUE(lookup->ended) << "node " << finder;
        EXPECT_EQ(std::set<std::string>(lookup->peers.begin(), lookup->peers.end()),
                  std::set<std::string>{nodes[0]})
            << "node " << finder;
    }

    const std::optional<LibtorrentDhtRing::Counters> counters = ring.Stats(5, 5s);
    ASSERT_TRUE(counters.has_value());
    EXPECT_GE(counters->nodes, 5);
    EXPECT_GT(counters->bytes_out, 0);
    EXPECT_GT(counters->messages_in, 0);
}

TEST_F(DhtRing, RawQueriesAndForeignNodesGetAnswersBothWays) {
    LibtorrentDhtRing ring;
    ASSERT_TRUE(ring.Start({.nodes = 6, .first_address = "127.0.0.40", .min_table = 3}))
        << ring.LogText();
    const std::vector<std::string>& nodes = ring.Endpoints();

    // A ping sent from node 1's address to node 2 comes back as a reply with our transaction id.
    const std::string ping = "d1:ad2:id20:" + std::string(20, 'P') + "e1:q4:ping1:t2:kf1:y1:qe";
    const std::optional<std::vector<uint8_t>> reply = ring.Query(1, nodes[2], Bytes(ping), 5s);
    ASSERT_TRUE(reply.has_value()) << ring.LogText();
    const std::string text = Text(*reply);
    EXPECT_EQ(StringAfter(text, "1:t"), "kf") << text;
    EXPECT_NE(text.find("1:y1:r"), std::string::npos) << text;
    EXPECT_EQ(StringAfter(text, "2:id").size(), 20u) << text;

    // A node outside the ring that node 3 is told about gets node 3's queries; its replies are
    // counted against the queries they answer.
    UdpNode outsider("127.0.0.60");
    ASSERT_FALSE(outsider.Endpoint().empty());
    ASSERT_TRUE(ring.AddNode(3, outsider.Endpoint(), 5s));
    ASSERT_GE(outsider.AnswerQueries(3s), 1);
    const std::optional<LibtorrentDhtRing::Traffic> traffic =
        ring.TrafficWith(3, outsider.Endpoint(), 5s);
    ASSERT_TRUE(traffic.has_value());
    int sent = 0;
    int answered = 0;
    for (const auto& [kind, count] : traffic->queries_out) {
        sent += count;
        answered += traffic->replies_in.contains(kind) ? traffic->replies_in.at(kind) : 0;
    }
    EXPECT_GE(sent, 1);
    EXPECT_EQ(answered, sent);
    EXPECT_EQ(traffic->errors_in, 0);
}

TEST_F(DhtRing, FailedCommandsGiveNothingAndLeaveLaterAnswersInStep) {
    LibtorrentDhtRing ring;
    ASSERT_TRUE(ring.Start({.nodes = 4, .first_address = "127.0.0.70", .min_table = 2}))
        << ring.LogText();
    const std::string ping = "d1:ad2:id20:" + std::string(20, 'P') + "e1:q4:ping1:t2:kf1:y1:qe";
    UdpNode silent("127.0.0.80");
    // Failures (a silent node, an address off loopback, bad input, no such node), then commands
    // that must each get their own answer.
    EXPECT_FALSE(ring.Query(0, silent.Endpoint(), Bytes(ping), 500ms).has_value());
    EXPECT_FALSE(ring.Query(0, "10.0.0.1:6881", Bytes(ping), 500ms).has_value());
    EXPECT_FALSE(ring.Query(0, ring.Endpoints()[1], Bytes("not bencoded"), 500ms).has_value());
    EXPECT_FALSE(ring.GetPeers(0, "not-a-hash", 1s).has_value());
    EXPECT_FALSE(ring.GetPeers(9, std::string(40, 'a'), 1s).has_value());
    EXPECT_FALSE(ring.Stats(-1, 2s).has_value());
    EXPECT_FALSE(ring.AddNode(0, "127.0.0.1:0", 2s));
    EXPECT_EQ(ring.Nodes(5s), ring.Endpoints());
    const std::optional<LibtorrentDhtRing::Counters> counters = ring.Stats(3, 5s);
    ASSERT_TRUE(counters.has_value());
    EXPECT_GE(counters->nodes, 2);
}

}  // namespace
