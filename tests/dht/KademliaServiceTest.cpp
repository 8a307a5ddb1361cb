// The DHT service's thread on a recording network: start from the node file, bootstrap when the
// table is thin, keep the node file, and stay within its answer budget under a flood of queries.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/EngineClock.h"
#include "engine/dht/CKademlia.h"
#include "engine/dht/KrpcBuilder.h"
#include "engine/net/Ipv4Address.h"
#include "support/EngineDriver.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;

struct Datagram {
    std::string bytes;
    uint32_t ip = 0;
    uint16_t port = 0;
    int64_t second = 0;
};

class KademliaService : public ::testing::Test {
  protected:
    std::vector<Datagram> Sent() {
        std::lock_guard hold(mutex_);
        return sent_;
    }
    bool SentTo(uint32_t ip, uint16_t port) {
        for (const Datagram& datagram : Sent()) {
            if (datagram.ip == ip && datagram.port == port) {
                return true;
            }
        }
        return false;
    }
    void WriteNodeFile(int nodes) {
        std::string records;
        for (int i = 0; i < nodes; ++i) {
            DhtNode node;
            node.id.fill(static_cast<uint8_t>(0x10 + 0x0b * i));
            node.ip = ParseDottedAddress("10.9.0." + std::to_string(i + 1));
            node.port = 6881;
            node.AppendCompact(records);
        }
        std::ofstream(path_) << "d2:id20:" << std::string(20, 'I') << "5:table" << records.size()
                             << ":" << records << "e";
    }

    test::TempDir dir_;
    std::string path_ = dir_ / "nodes.kad";
    std::mutex mutex_;
    std::vector<Datagram> sent_;
    CKademlia dht_{[this](std::span<const uint8_t> bytes, uint32_t ip, uint16_t port) {
        std::lock_guard hold(mutex_);
        sent_.push_back(Datagram{std::string(bytes.begin(), bytes.end()), ip, port, NowSeconds()});
        return true;
    }};
};

TEST_F(KademliaService, BootstrapsOnlyWhenTheNodeFileHoldsFewerThanTenAndSavesItOnStop) {
    const uint32_t router = ParseDottedAddress("127.0.0.1");
    for (const int nodes : {12, 9}) {
        SCOPED_TRACE(nodes);
        WriteNodeFile(nodes);
        dht_.SetNodeFile(path_);
        dht_.SetBootstrap({"127.0.0.1:9"});
        ASSERT_TRUE(dht_.Start());
        // The table's own lookups ask the file's nodes at once; a bootstrap would come first.
        ASSERT_TRUE(test::WaitUntil([&] { return Sent().size() >= 3; }, 5s));
        EXPECT_EQ(SentTo(router, 9), nodes < 10);
        dht_.Stop();
        std::ifstream saved(path_);
        const std::string body((std::istreambuf_iterator<char>(saved)), {});
        EXPECT_EQ(body.substr(0, 28), "d2:id20:" + std::string(20, 'I')) << "the file's id stays";
        EXPECT_NE(body.find("5:table" + std::to_string(nodes * 26) + ":"), std::string::npos);
        std::lock_guard hold(mutex_);
        sent_.clear();
    }
}

TEST_F(KademliaService, AFloodOfQueriesGetsNoMoreAnswersThanTheBudget) {
    ASSERT_TRUE(dht_.Start());
    // Datagrams that come before the thread has its table are dropped uncounted.
    ASSERT_TRUE(test::WaitUntil([&] { return dht_.IsRunning(); }, 5s));
    NodeId id{};
    id.fill(0x77);
    const std::string ping = KrpcBuilder::Query(id, "ping", "", "aa");
    const std::string find =
        KrpcBuilder::Query(id, "find_node", KrpcBuilder::FindNodeArgs(id), "bb");
    const auto bytes = [](const std::string& text) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    const uint32_t loud = ParseDottedAddress("10.8.0.1");
    const auto started = std::chrono::steady_clock::now();
    // 1000 queries a second for two seconds: most from one source, the rest from many.
    for (int i = 0; i < 2000; ++i) {
        dht_.Inbound(bytes(i % 2 == 0 ? find : ping), i % 2 == 0 ? loud : 0x0a000000u + (i << 8),
                     6881);
        std::this_thread::sleep_until(started + std::chrono::milliseconds(i));
    }
    std::this_thread::sleep_for(500ms);
    dht_.Stop();
    std::map<int64_t, int64_t> bytes_per_second;
    std::map<int64_t, int> loud_per_second;
    for (const Datagram& datagram : Sent()) {
        if (datagram.bytes.find("1:y1:re") != std::string::npos) {
            bytes_per_second[datagram.second] += static_cast<int64_t>(datagram.bytes.size());
            loud_per_second[datagram.second] += datagram.ip == loud ? 1 : 0;
        }
    }
    ASSERT_FALSE(bytes_per_second.empty());
    for (const auto& [second, sent] : bytes_per_second) {
        EXPECT_LE(sent, DhtResponder::kReplyBytesPerSecond) << second;
        EXPECT_LE(loud_per_second[second], DhtResponder::kQueriesPerSecond) << second;
    }
    EXPECT_EQ(dht_.GetCounters().messages_in, 2000);
}

}  // namespace
}  // namespace kf
