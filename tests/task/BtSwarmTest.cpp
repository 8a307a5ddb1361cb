// BitTorrent between two engines on loopback: a kfget process seeds a complete
// file at 127.0.0.2 and this process's engine (at 127.0.0.3) downloads it,
// alone or beside an HTTP server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "engine/api/CKestrelfetchCore.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/QSocket.h"
#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"
#include "support/NginxServer.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::DownloadContent;
using test::NginxServer;
using test::QueryInfo;
using test::TaskComplete;
using test::TempDir;
using test::WaitUntil;

const std::string kKfget = std::string(KF_BINARY_DIR) + "/kfget";
constexpr const char* kSeederAddress = "127.0.0.2";
constexpr const char* kLeecherAddress = "127.0.0.3";

// Accepts connections at `address`:`port` within `timeout`.
bool Accepts(const char* address, int32_t port, std::chrono::milliseconds timeout) {
    return WaitUntil(
        [&] {
            QSocket probe;
            return probe.ConnectTo(ParseDottedAddress(address), port, true);
        },
        timeout);
}

class BtSwarm : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveMktorrent() || !test::FileExists(kKfget)) {
            GTEST_SKIP() << "needs mktorrent (scripts/install-deps) and the kfget tool";
        }
        ASSERT_TRUE(engine_.ok());
        ASSERT_EQ(SetListenAddress(kLeecherAddress), KF_OK);
        listen_port_ = test::FreeTcpPort();
        SetListenPort(listen_port_);
        EnableP2P(1);
    }
    void TearDown() override {
        SetHttpWrappedHandshake(0);
        SetListenAddress(nullptr);
    }

    // `size` random bytes as www/file.bin with its metainfo.
    void MakeContent(int64_t size, int log2_piece) {
        content_ = test::MakeDownloadContent(www_ / "file.bin", size, log2_piece, 91,
                                             meta_ / "file.torrent");
        ASSERT_FALSE(content_.torrent_path.empty());
    }

    // A kfget process seeding the complete file; answers its listening port, 0 on
    // failure.
    int32_t StartSeeder(const std::vector<std::string>& extra = {}) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const int32_t port = test::FreeTcpPort();
            std::vector<std::string> argv = {kKfget,
                                             "--torrent",
                                             content_.torrent_path,
                                             "--file",
                                             www_ / "file.bin",
                                             "--resume",
                                             seed_ / "seed.kfinfo",
                                             "--seed",
                                             "--bind",
                                             kSeederAddress,
                                             "--listen-port",
                                             std::to_string(port),
                                             "-q"};
            argv.insert(argv.end(), extra.begin(), extra.end());
            seeder_ = std::make_unique<test::ChildProcess>();
            if (seeder_->Start(argv, seed_ / "seeder.log") && Accepts(kSeederAddress, port, 20s)) {
                return port;
            }
        }
        return 0;
    }

    KfTaskHandle StartLeecher(const std::string& sources) {
        sources_ = sources;
        TaskParams params = test::P2spTaskParams(content_.torrent_path, sources_.c_str(), Target(),
                                                 Target() + ".kfinfo");
        EXPECT_EQ(CreateAndStartTask(&params), KF_OK);
        SetTaskConnectionLimits(params.handle, 49, 52);
        return params.handle;
    }

    std::string Target() const { return out_ / "file.bin"; }
    std::string SeederLog() const { return test::ReadWholeFile(seed_ / "seeder.log"); }

    TempDir www_;
    TempDir meta_;
    TempDir seed_;
    TempDir out_;
    test::EngineSession engine_;
    DownloadContent content_;
    std::unique_ptr<test::ChildProcess> seeder_;
    std::string sources_;
    int32_t listen_port_ = 0;
};

// Stops the task and answers how long the call took.
std::chrono::milliseconds TimedStop(KfTaskHandle task) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started);
}

TEST_F(BtSwarm, SeederServesTheWholeFileToAPeerNamedByItsAddress) {
    MakeContent(5 * 1024 * 1024 + 777, 16);
    const int32_t port = StartSeeder();
    ASSERT_NE(port, 0) << SeederLog();
    KfTaskHandle task =
        StartLeecher(std::string("btnode://") + kSeederAddress + ":" + std::to_string(port));
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s))
        << QueryInfo(task).bytes_done << "\n"
        << SeederLog();
    const TaskInfo info = QueryInfo(task);
    EXPECT_EQ(info.http_bytes, 0);
    EXPECT_GE(info.bt_bytes, static_cast<int64_t>(content_.bytes.size()));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
    // Seeding is not over because one peer has everything.
    EXPECT_TRUE(seeder_->IsRunning());
}

TEST_F(BtSwarm, WrappedHandshakesOnBothSides) {
    MakeContent(2 * 1024 * 1024 + 5, 15);
    const int32_t port = StartSeeder({"--wrap-handshake"});
    ASSERT_NE(port, 0) << SeederLog();
    SetHttpWrappedHandshake(1);
    KfTaskHandle task =
        StartLeecher(std::string("btnode://") + kSeederAddress + ":" + std::to_string(port));
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s))
        << QueryInfo(task).bytes_done << "\n"
        << SeederLog();
    EXPECT_GE(QueryInfo(task).bt_bytes, static_cast<int64_t>(content_.bytes.size()));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
}

// Neither side knows the other: both announce to a private tracker (over HTTP
// or UDP, as the metainfo says), which tells the downloader where the seeder
// listens. When the downloader stops, it tells the tracker so (event "stopped"),
// quickly, and the tracker hands it out no more.
class BtTrackerSwarm : public BtSwarm, public ::testing::WithParamInterface<bool> {};

TEST_P(BtTrackerSwarm, PeersFindEachOtherThroughTheTracker) {
    if (!test::OpenTracker::Available()) {
        GTEST_SKIP() << "needs opentracker (scripts/install-deps)";
    }
    const bool udp = GetParam();
    test::OpenTracker tracker;
    ASSERT_TRUE(tracker.Start({std::string(40, 'a')})) << tracker.LogText();
    content_.bytes = test::RandomBytes(4 * 1024 * 1024 + 3, 17);
    ASSERT_TRUE(test::WriteFile(www_ / "file.bin", content_.bytes));
    content_.torrent_path = meta_ / "file.torrent";
    const std::string metainfo =
        test::MakeTorrent(www_ / "file.bin", 16, content_.torrent_path,
                          {udp ? tracker.UdpAnnounceUrl() : tracker.HttpAnnounceUrl()});
    ASSERT_FALSE(metainfo.empty());
    const std::string hash = test::TorrentInfoHashHex(metainfo);
    ASSERT_TRUE(tracker.Allow(hash)) << tracker.LogText();

    const int32_t port = StartSeeder();
    ASSERT_NE(port, 0) << SeederLog();
    ASSERT_TRUE(tracker.WaitForPeer(hash, {kSeederAddress, port}, 20s)) << SeederLog();
    KfTaskHandle task = StartLeecher("");
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s))
        << QueryInfo(task).bytes_done << "\n"
        << SeederLog();
    EXPECT_GE(QueryInfo(task).bt_bytes, static_cast<int64_t>(content_.bytes.size()));
    const test::TrackerPeer leecher{kLeecherAddress, listen_port_};
    ASSERT_TRUE(tracker.WaitForPeer(hash, leecher, 10s));
    EXPECT_LT(TimedStop(task), 2500ms);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
    const auto gone = [&] {
        const std::vector<test::TrackerPeer> peers = tracker.Peers(hash);
        return std::find(peers.begin(), peers.end(), leecher) == peers.end() &&
               std::find(peers.begin(), peers.end(), test::TrackerPeer{kSeederAddress, port}) !=
                   peers.end();
    };
    EXPECT_TRUE(WaitUntil(gone, 5s)) << tracker.LogText();
}

// A tracker that no longer answers (its process is gone, so the UDP connect request of the
// stopped announce goes unanswered) does not hold the stop up beyond the announce's bound.
TEST_F(BtSwarm, StopStaysQuickWhenTheTrackerFallsSilent) {
    if (!test::OpenTracker::Available()) {
        GTEST_SKIP() << "needs opentracker (scripts/install-deps)";
    }
    test::OpenTracker tracker;
    ASSERT_TRUE(tracker.Start({std::string(40, 'a')})) << tracker.LogText();
    content_.bytes = test::RandomBytes(512 * 1024 + 1, 23);
    ASSERT_TRUE(test::WriteFile(Target(), content_.bytes));
    content_.torrent_path = meta_ / "file.torrent";
    const std::string hash = test::TorrentInfoHashHex(
        test::MakeTorrent(Target(), 16, content_.torrent_path, {tracker.UdpAnnounceUrl()}));
    ASSERT_TRUE(tracker.Allow(hash)) << tracker.LogText();
    KfTaskHandle task = StartLeecher("");
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 30s));
    ASSERT_TRUE(tracker.WaitForPeer(hash, {kLeecherAddress, listen_port_}, 10s));
    tracker.Stop();
    EXPECT_LT(TimedStop(task), 2500ms);
}

INSTANTIATE_TEST_SUITE_P(HttpAndUdp, BtTrackerSwarm, ::testing::Bool());

// Server and swarm at once: a download limit keeps the transfer long enough for
// both to deliver, and the two byte counts stay apart.
TEST_F(BtSwarm, P2spTaskTakesBytesFromServerAndSeeder) {
    if (!NginxServer::Available()) {
        GTEST_SKIP() << "needs nginx";
    }
    MakeContent(8 * 1024 * 1024 + 99, 16);
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_.Path())) << nginx.ErrorLogText();
    const int32_t port = StartSeeder();
    ASSERT_NE(port, 0) << SeederLog();
    KfTaskHandle task = StartLeecher(nginx.Url("/file.bin") + "\nbtnode://" + kSeederAddress + ":" +
                                     std::to_string(port));
    SetTaskSpeedLimit(task, 1, 2048);
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s))
        << QueryInfo(task).bytes_done << "\n"
        << SeederLog();
    const TaskInfo info = QueryInfo(task);
    EXPECT_GT(info.http_bytes, 0);
    EXPECT_GT(info.bt_bytes, 0);
    EXPECT_GE(info.http_bytes + info.bt_bytes, static_cast<int64_t>(content_.bytes.size()));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
}

// The task's own peer id (read from the handshake it sends to a listening test
// peer) is refused on an incoming connection; another id for the same swarm is
// answered with a handshake.
TEST_F(BtSwarm, IncomingHandshakeWithOurOwnPeerIdIsRefused) {
    MakeContent(1024 * 1024, 15);
    QSocket fake_peer;
    ASSERT_TRUE(fake_peer.Listen(0, ParseDottedAddress("127.0.0.5")));
    KfTaskHandle task = StartLeecher("btnode://127.0.0.5:" + std::to_string(fake_peer.LocalPort()));
    std::unique_ptr<QSocket> from_task;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (!from_task) {
                from_task = fake_peer.Accept();
            }
            return from_task && from_task->ReceiveBytes() >= 68;
        },
        20s));
    const std::string handshake(from_task->ReceivedText(), 68);
    const std::string own_id = handshake.substr(48, 20);
    kf::SwarmRegistry& swarm = kf::CKestrelfetchCore::Instance().Swarm();
    ASSERT_TRUE(WaitUntil([&] { return swarm.ListenPort() != 0; }, 10s));
    const int32_t port = swarm.ListenPort();

    // Answers whether the task sent a handshake back within 3 s (false when it
    // hung up).
    const auto answered = [&](const std::string& peer_id) {
        QSocket client;
        if (!client.ConnectTo(ParseDottedAddress(kLeecherAddress), port, true, nullptr,
                              ParseDottedAddress("127.0.0.6"))) {
            return false;
        }
        const std::string hello = handshake.substr(0, 48) + peer_id;
        client.SendBytes(hello.data(), static_cast<int32_t>(hello.size()));
        bool closed = false;
        const bool got = WaitUntil(
            [&] {
                const int32_t buffered = client.ReceiveBytes();
                closed = buffered < 0;
                return closed || buffered >= 68;
            },
            3s);
        return got && !closed;
    };
    EXPECT_FALSE(answered(own_id));
    EXPECT_TRUE(answered(std::string(20, 'x')));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
}

bool TaskRunning(KfTaskHandle task) {
    int32_t running = -1;
    return IsTaskRunning(task, &running) == KF_OK && running == 1;
}

// This engine seeds: the task completes from the data on disk and keeps
// serving, and a kfget process that only knows its address downloads the file
// from it. Once its seeding time is over the task ends by itself, still
// complete, and lets go of its swarm.
TEST_F(BtSwarm, CompleteTaskServesUntilItsSeedingTimeIsOver) {
    MakeContent(3 * 1024 * 1024 + 1, 16);
    ASSERT_TRUE(test::WriteFile(Target(), content_.bytes));
    KfTaskHandle task = StartLeecher("");
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 30s));
    // Completion can be published before the loop's first incoming step opens the listener.
    kf::SwarmRegistry& swarm = kf::CKestrelfetchCore::Instance().Swarm();
    ASSERT_TRUE(WaitUntil([&] { return swarm.ListenPort() != 0; }, 10s));
    const int32_t port = swarm.ListenPort();
    ASSERT_TRUE(Accepts(kLeecherAddress, port, 10s));

    TempDir fetched;
    const int exit_code = test::RunProgram(
        {kKfget, "--torrent", content_.torrent_path, "--file", fetched / "file.bin", "--bind",
         "127.0.0.4", "--listen-port", std::to_string(test::FreeTcpPort()), "--source",
         std::string("btnode://") + kLeecherAddress + ":" + std::to_string(port), "--timeout", "60",
         "-q"},
        90s, fetched / "kfget.log");
    EXPECT_EQ(exit_code, 0) << test::ReadWholeFile(fetched / "kfget.log");
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(fetched / "file.bin")),
              test::Sha1Hex(content_.bytes));
    // Still seeding: the task reports the file complete and nothing received.
    const TaskInfo info = QueryInfo(task);
    EXPECT_EQ(info.status, KF_STATUS_COMPLETE);
    EXPECT_EQ(info.bt_bytes, 0);
    EXPECT_TRUE(TaskRunning(task));

    const std::string hash_hex =
        test::TorrentInfoHashHex(test::ReadWholeFile(content_.torrent_path));
    ASSERT_EQ(hash_hex.size(), 40u);
    kf::SwarmRegistry::InfoHash hash{};
    for (size_t i = 0; i < hash.size(); ++i) {
        hash[i] = static_cast<uint8_t>(std::stoi(hash_hex.substr(2 * i, 2), nullptr, 16));
    }
    EXPECT_TRUE(swarm.IsRegistered(hash));
    ASSERT_EQ(SetTaskSeedingHours(task, 0), KF_OK);
    EXPECT_TRUE(WaitUntil([&] { return !TaskRunning(task); }, 5s));
    EXPECT_FALSE(swarm.IsRegistered(hash));
    EXPECT_TRUE(TaskComplete(task));
    EXPECT_EQ(QueryInfo(task).status, KF_STATUS_COMPLETE);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
}

// Switching P2P off ends the BT transfer and closes the listener; switching it
// on again opens the listener within a step.
TEST_F(BtSwarm, P2POffDropsPeersAndClosesTheListener) {
    MakeContent(8 * 1024 * 1024, 16);
    const int32_t port = StartSeeder();
    ASSERT_NE(port, 0) << SeederLog();
    KfTaskHandle task =
        StartLeecher(std::string("btnode://") + kSeederAddress + ":" + std::to_string(port));
    SetTaskSpeedLimit(task, 1, 512);
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).bt_bytes > 0; }, 30s)) << SeederLog();
    ASSERT_TRUE(kf::CKestrelfetchCore::Instance().Swarm().ListenerOpen());

    EnableP2P(0);
    EXPECT_TRUE(
        WaitUntil([] { return !kf::CKestrelfetchCore::Instance().Swarm().ListenerOpen(); }, 2s));
    // Whatever was on its way has arrived once the figure stood still for a few seconds (it is
    // published once a second); then nothing more comes.
    int64_t before = -1;
    auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const int64_t now = QueryInfo(task).bt_bytes;
            if (now != before) {
                before = now;
                since = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - since >= 2500ms;
        },
        20s));
    EXPECT_FALSE(WaitUntil([&] { return QueryInfo(task).bt_bytes != before; }, 3s));
    EXPECT_FALSE(TaskComplete(task));

    EnableP2P(1);
    EXPECT_TRUE(
        WaitUntil([] { return kf::CKestrelfetchCore::Instance().Swarm().ListenerOpen(); }, 2s));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
}

}  // namespace
}  // namespace kf
