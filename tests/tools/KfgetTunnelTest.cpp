// Two kfget processes on loopback, both registered with a kf-rendezvous, exchange a file over a
// UDP tunnel: the downloader knows the seeder by address only and prefers tunnels, so its first
// connection is a tunnel introduced by the server; the seeder takes it on its tunnel listener.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"
#include "support/RendezvousProcess.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;

const std::string kKfget = std::string(KF_BINARY_DIR) + "/kfget";
constexpr int64_t kSize = 6 * 1024 * 1024 + 333;
constexpr int kSeconds = 60;

TEST(KfgetTunnel, DownloaderAndSeederExchangeTheFileOverATunnel) {
    if (!test::HaveMktorrent()) {
        GTEST_SKIP() << "needs mktorrent (scripts/install-deps)";
    }
    test::TempDir dir;
    std::filesystem::create_directories(dir / "data");
    const std::string bytes = test::RandomBytes(kSize, 1616);
    ASSERT_TRUE(test::WriteFile(dir / "data/c.bin", bytes));
    const std::string torrent = dir / "c.torrent";
    ASSERT_FALSE(test::MakeTorrent(dir / "data/c.bin", 18, torrent, {}).empty());

    const int32_t server_port = test::FreeTcpUdpPort("127.0.0.1");
    test::ChildProcess server;
    ASSERT_TRUE(test::StartRendezvous(server, "127.0.0.1", server_port, dir / "rendezvous.log"));
    const std::string rendezvous = "127.0.0.1:" + std::to_string(server_port);

    const int32_t seed_port = test::FreeTcpUdpPort("127.0.0.91");
    test::ChildProcess seeder;
    ASSERT_TRUE(seeder.Start(
        {kKfget, "--torrent", torrent, "--file", dir / "data/c.bin", "--bind", "127.0.0.91",
         "--listen-port", std::to_string(seed_port), "--rendezvous", rendezvous, "--seed", "-v"},
        dir / "seeder.log"));
    const std::string got = dir / "got.bin";
    const int code = test::RunProgram(
        {kKfget, "--torrent", torrent, "--file", got, "--bind", "127.0.0.92", "--listen-port",
         std::to_string(test::FreeTcpUdpPort("127.0.0.92")), "--rendezvous", rendezvous,
         "--prefer-udp", "--source", "btnode://127.0.0.91:" + std::to_string(seed_port), "--sha1",
         test::Sha1Hex(bytes), "--timeout", std::to_string(kSeconds), "-v"},
        std::chrono::seconds(kSeconds + 15), dir / "got.log");
    seeder.Stop();
    const std::string got_log = test::ReadWholeFile(dir / "got.log");
    const std::string seeder_log = test::ReadWholeFile(dir / "seeder.log");
    ASSERT_EQ(code, 0) << got_log << "\nseeder:\n" << seeder_log;
    EXPECT_EQ(test::ReadWholeFile(got), bytes);
    EXPECT_NE(got_log.find("(BitTorrent peer over a UDP tunnel)"), std::string::npos) << got_log;
    EXPECT_NE(seeder_log.find("(BitTorrent peer over a UDP tunnel)"), std::string::npos)
        << seeder_log;
}

}  // namespace
}  // namespace kf
