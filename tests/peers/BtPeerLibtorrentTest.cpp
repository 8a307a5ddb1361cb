#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "engine/net/Ipv4Address.h"
#include "engine/peers/TBTPeer.h"
#include "support/ContentFiles.h"
#include "support/FakePeerTask.h"
#include "support/LibtorrentPeer.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::FakePeerTask;
using test::LibtorrentPeer;

constexpr int kLog2Piece = 18;
constexpr int32_t kPieceLength = 1 << kLog2Piece;

bool WaitUntil(const std::function<bool()>& done, const std::function<void()>& step,
               std::chrono::seconds limit, std::chrono::microseconds pause = 100us) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int64_t round = 0; round < 10'000'000 && std::chrono::steady_clock::now() < deadline;
         ++round) {
        step();
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(pause);
    }
    return false;
}

BtWire::Hash20 HashFromHex(const std::string& hex) {
    BtWire::Hash20 out{};
    for (size_t i = 0; i < out.size() && 2 * i + 1 < hex.size(); ++i) {
        out[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

// Gives the peer its rates once a second, as the task's rate window does.
struct RateClock {
    void Tick(TBTPeer& peer) {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < 1s) {
            return;
        }
        last = now;
        const TPeerObject::Window window = peer.TakeRateWindow();
        peer.SetRates(static_cast<int32_t>(window.received), static_cast<int32_t>(window.sent));
    }
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
};

// The engine's BT peer against a real client: content in "data", its torrent (the announce
// address is never reached: the peers connect to each other directly).
class BtPeerLibtorrentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!LibtorrentPeer::Available() || !test::HaveMktorrent()) {
            GTEST_SKIP() << "python3-libtorrent or mktorrent not installed";
        }
        std::filesystem::create_directories(dir_ / "data");
        std::filesystem::create_directories(dir_ / "got");
        content_ = test::RandomBytes(kSize, 21);
        ASSERT_TRUE(test::WriteFile(dir_ / "data/c.bin", content_));
        const std::string metainfo = test::MakeTorrent(dir_ / "data/c.bin", kLog2Piece, torrent_,
                                                       {"http://127.0.0.1:1/announce"});
        hash_ = HashFromHex(test::TorrentInfoHashHex(metainfo));
        task_.info_hash = hash_;
        task_.handshake_peer_id =
            BtWire::Hash20{0, 1, 'K', 'f', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        task_.bt_queue_limit = 256;
    }

    // A short last piece and block. KF_BT_PEER_BENCH_MIB makes it that many MiB (plus the odd
    // bytes) for a throughput measurement of the fetch.
    static int64_t ContentSize() {
        const char* mib = std::getenv("KF_BT_PEER_BENCH_MIB");
        const int64_t whole = mib != nullptr && std::atoi(mib) > 0 ? std::atoi(mib) : 8;
        return (whole << 20) + 12345;
    }
    const int64_t kSize = ContentSize();
    test::TempDir dir_;
    const std::string torrent_ = dir_ / "c.torrent";
    std::string content_;
    BtWire::Hash20 hash_{};
    FakePeerTask task_{kSize, kPieceLength};
    TBTPeer peer_{task_};
};

TEST_F(BtPeerLibtorrentTest, FetchesEveryPieceFromALibtorrentSeeder) {
    LibtorrentPeer seeder;
    ASSERT_TRUE(seeder.Start(LibtorrentPeer::Role::kSeeder, torrent_, dir_ / "data",
                             LibtorrentPeer::Options{.address = "127.0.0.2", .seed_mode = true}));
    auto source = RefPtr<TPeerId>::Make();
    source->kind = PeerKind::BtNode;
    source->ip = ParseDottedAddress("127.0.0.2");
    source->port = seeder.Endpoint().port;
    source->resolved = true;
    ASSERT_TRUE(peer_.Attach(source));

    RateClock rates;
    bool alive = true;
    const auto start = std::chrono::steady_clock::now();
    const bool done =
        WaitUntil([&] { return !alive || task_.AllDone(); },
                  [&] {
                      alive = peer_.Pump();
                      rates.Tick(peer_);
                      // As the task loop: wait for traffic rather than spin.
                      QSocket* conn = peer_.Connection();
                      if (alive && !task_.AllDone() && conn != nullptr &&
                          conn->QueuedLength() == 0 && peer_.State() == TPeerObject::kEstablished) {
                          conn->WaitReadable(1);
                      }
                  },
                  120s, 0us);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(alive) << seeder.LogText();
    ASSERT_TRUE(done) << seeder.LogText();
    EXPECT_TRUE(task_.Stored(0, kSize) == content_);
    EXPECT_EQ(peer_.Errors(), 0);
    EXPECT_TRUE(peer_.IsSeed());
    std::printf("fetched %lld bytes from libtorrent in %.3f s (%.1f MB/s)\n",
                static_cast<long long>(kSize), seconds, static_cast<double>(kSize) / seconds / 1e6);
}

TEST_F(BtPeerLibtorrentTest, ALibtorrentLeecherFetchesEveryPieceFromUs) {
    task_.StoreContent(0, content_);
    ASSERT_TRUE(task_.AllDone());
    QSocket listener;
    ASSERT_TRUE(listener.Listen(0, ParseDottedAddress("127.0.0.3")));
    LibtorrentPeer leecher;
    ASSERT_TRUE(
        leecher.Start(LibtorrentPeer::Role::kLeecher, torrent_, dir_ / "got",
                      LibtorrentPeer::Options{
                          .address = "127.0.0.4",
                          .connect_to = {"127.0.0.3:" + std::to_string(listener.LocalPort())}}));
    // libtorrent tries an encrypted handshake first, which we refuse; it then comes back in the
    // clear on a new connection, as it would to the engine's listener.
    RateClock rates;
    bool accepted = false;
    int32_t refused = 0;
    // Once it has everything the leecher closes the connection, which may come before its log
    // says so: that drop is no refusal.
    const bool done = WaitUntil(
        [&] {
            return leecher.LogHas("COMPLETE ") || (refused > 3 && task_.uploaded_total < kSize);
        },
        [&] {
            if (!accepted) {
                if (auto connection = listener.Accept()) {
                    accepted = peer_.AcceptConnection(std::move(connection), false);
                }
                return;
            }
            if (!peer_.Pump() || !peer_.PumpUpload()) {
                refused += peer_.State() == TPeerObject::kEstablished ? 4 : 1;
                peer_.Reset();
                accepted = false;
            }
            rates.Tick(peer_);
        },
        60s);
    ASSERT_TRUE(done) << leecher.LogText();
    const std::string log = leecher.LogText();
    const size_t complete = log.find("COMPLETE ");
    ASSERT_NE(complete, std::string::npos) << "refused " << refused << "\n" << log;
    std::printf("libtorrent leecher: %s\n",
                log.substr(complete, log.find('\n', complete) - complete).c_str());
    EXPECT_EQ(leecher.WaitExit(20000ms), 0) << leecher.LogText();
    EXPECT_TRUE(test::ReadWholeFile(dir_ / "got/c.bin") == content_);
    EXPECT_EQ(task_.uploaded_total, kSize);
    EXPECT_EQ(peer_.Errors(), 0);
}

}  // namespace
}  // namespace kf
