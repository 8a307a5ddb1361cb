// The engine's IP filter against real peers on loopback: two libtorrent seeders announce to a
// private opentracker and the filter blocks one of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "engine/kestrelfetch.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/QSocket.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LibtorrentPeer.h"
#include "support/LoopbackPorts.h"
#include "support/NoticeRecorder.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::LibtorrentPeer;
using test::OpenTracker;

constexpr const char* kEngineAddress = "127.0.0.24";

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The task hears of both seeders from the tracker. While the filter blocks the first, the task
// takes bytes from the second only: the first never accepts a connection from the engine (its own
// log says so). Then the filter is replaced by one that blocks the second: within a second or two
// the task drops its connection there and finishes from the first, never connecting to the second
// again. A server source at an address both filters block is never connected. A third seeder at a
// blocked address that connects to the engine by itself is closed at the listener. Each blocked
// address is told of once, although the task keeps passing it over.
TEST(IpFilterSwarm, TasksKeepAwayFromBlockedSeedersAndFollowAChangedFilter) {
    if (!OpenTracker::Available() || !test::HaveMktorrent() || !LibtorrentPeer::Available()) {
        GTEST_SKIP()
            << "needs opentracker, mktorrent and python3-libtorrent (scripts/install-deps)";
    }
    test::TempDir dir;
    const std::string content = test::RandomBytes(3 * 1024 * 1024 + 77, 31);
    ASSERT_TRUE(test::WriteFile(dir / "c.bin", content));
    // The announce address is not part of the info-hash: the tracker starts on the hash of a
    // first metainfo and the real one is written once its port is known.
    const std::string hash = test::TorrentInfoHashHex(
        test::MakeTorrent(dir / "c.bin", 16, dir / "first.torrent", {"http://127.0.0.1:1/a"}));
    ASSERT_EQ(hash.size(), 40u);
    OpenTracker tracker;
    ASSERT_TRUE(tracker.Start({hash})) << tracker.LogText();
    const std::string torrent = dir / "c.torrent";
    ASSERT_FALSE(
        test::MakeTorrent(dir / "c.bin", 16, torrent, {tracker.HttpAnnounceUrl()}).empty());

    LibtorrentPeer first;
    LibtorrentPeer second;
    ASSERT_TRUE(first.Start(LibtorrentPeer::Role::kSeeder, torrent, dir.Path(),
                            {.address = "127.0.0.20", .seed_mode = true}));
    ASSERT_TRUE(second.Start(LibtorrentPeer::Role::kSeeder, torrent, dir.Path(),
                             {.address = "127.0.0.21", .seed_mode = true}));
    ASSERT_TRUE(tracker.WaitForPeer(hash, first.Endpoint(), 20s)) << first.LogText();
    ASSERT_TRUE(tracker.WaitForPeer(hash, second.Endpoint(), 20s)) << second.LogText();

    const std::string from_engine = std::string("INCOMING ") + kEngineAddress;
    ASSERT_TRUE(test::WriteFile(dir / "first.dat",
                                "# the first seeder and the server\n"
                                "127.0.0.20-127.0.0.20 0 test seeder\n"
                                "127.0.0.22-127.0.0.23 0 test server, incoming seeder\n"));
    ASSERT_TRUE(test::WriteFile(dir / "second.dat", "127.0.0.21-127.0.0.22 0 seeder, server\n"));
    test::NoticeRecorder notices;
    test::EngineSession engine;
    ASSERT_TRUE(engine.ok());
    ASSERT_EQ(SetIpFilterFile((dir / "first.dat").c_str()), 2);
    ASSERT_EQ(SetListenAddress(kEngineAddress), KF_OK);
    const int listen_port = test::FreeTcpPort();
    SetListenPort(listen_port);
    EnableP2P(1);
    QSocket server;
    ASSERT_TRUE(server.Listen(0, ParseDottedAddress("127.0.0.22")));
    const std::string sources =
        "http://127.0.0.22:" + std::to_string(server.LocalPort()) + "/c.bin";
    TaskParams params =
        test::P2spTaskParams(torrent, sources.c_str(), dir / "got.bin", dir / "got.bin.kfinfo");
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    const KfTaskHandle task = params.handle;
    SetTaskConnectionLimits(task, 49, 52);
    SetTaskSpeedLimit(task, 1, 256);  // about 12 s for the file: time to change the filter
    ASSERT_TRUE(test::WaitUntil([&] { return test::QueryInfo(task).bt_bytes > 0; }, 30s))
        << notices.Text() << second.LogText();
    EXPECT_FALSE(first.LogHas(from_engine)) << first.LogText();
    EXPECT_EQ(server.Accept(), nullptr);
    ASSERT_TRUE(second.LogHas(from_engine)) << second.LogText();

    LibtorrentPeer third;
    ASSERT_TRUE(third.Start(
        LibtorrentPeer::Role::kSeeder, torrent, dir.Path(),
        {.address = "127.0.0.23",
         .seed_mode = true,
         .connect_to = {std::string(kEngineAddress) + ":" + std::to_string(listen_port)}}));
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            for (const KfNotice& notice : notices.OfKind(KF_NOTICE_BLOCKED)) {
                if (notice.task == nullptr && std::string(notice.address) == "127.0.0.23") {
                    return true;
                }
            }
            return false;
        },
        20s))
        << notices.Text() << third.LogText();
    EXPECT_TRUE(test::WaitUntil(
        [&] { return third.LogHas(std::string("DISCONNECTED ") + kEngineAddress); }, 5s))
        << third.LogText();

    ASSERT_EQ(SetIpFilterFile((dir / "second.dat").c_str()), 1);
    const std::string dropped = std::string("DISCONNECTED ") + kEngineAddress;
    EXPECT_TRUE(test::WaitUntil([&] { return second.LogHas(dropped); }, 3s)) << second.LogText();
    const size_t second_connections = Count(second.LogText(), from_engine);
    SetTaskSpeedLimit(task, 1, 0);
    ASSERT_TRUE(test::WaitUntil([&] { return test::TaskComplete(task); }, 60s))
        << test::QueryInfo(task).bytes_done << "\n"
        << notices.Text() << first.LogText();
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::ReadWholeFile(dir / "got.bin"), content);
    EXPECT_TRUE(first.LogHas(from_engine)) << first.LogText();
    EXPECT_EQ(Count(second.LogText(), from_engine), second_connections) << second.LogText();
    EXPECT_EQ(server.Accept(), nullptr);

    std::vector<std::string> told;
    for (const KfNotice& notice : notices.OfKind(KF_NOTICE_BLOCKED)) {
        if (notice.task != nullptr) {  // the listener's notice is the engine's, not the task's
            EXPECT_EQ(notice.task, task);
            told.emplace_back(notice.address);
        }
    }
    std::sort(told.begin(), told.end());
    const std::string server_text = "127.0.0.22:" + std::to_string(server.LocalPort());
    EXPECT_EQ(told,
              (std::vector<std::string>{first.EndpointText(), second.EndpointText(), server_text}))
        << notices.Text();
    SetIpFilterFile(nullptr);
    SetListenAddress(nullptr);
}

}  // namespace
}  // namespace kf
