// Two kfget processes with one torrent, no tracker and no peer addresses find each other through
// LAN discovery pinned to loopback (each listening on its own 127.0.0.x) and complete the
// download.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;

const std::string kKfget = std::string(KF_BINARY_DIR) + "/kfget";
constexpr int64_t kSize = 3 * 1024 * 1024 + 777;
// Discovery takes one LAN period (10 s) after both have asked, and the pieces are quick; the
// downloader's own time-out bounds it all.
constexpr int kDiscoverySeconds = 30;

class KfgetLan : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveMktorrent()) {
            GTEST_SKIP() << "needs mktorrent (scripts/install-deps)";
        }
        std::filesystem::create_directories(dir_ / "data");
        std::filesystem::create_directories(dir_ / "got");
        bytes_ = test::RandomBytes(kSize, 1515);
        ASSERT_TRUE(test::WriteFile(dir_ / "data/c.bin", bytes_));
        ASSERT_FALSE(test::MakeTorrent(dir_ / "data/c.bin", 18, torrent_, {}).empty());
    }

    std::vector<std::string> Command(const std::string& file, const std::string& address,
                                     const std::vector<std::string>& extra) const {
        std::vector<std::string> argv = {kKfget,
                                         "--torrent",
                                         torrent_,
                                         "--file",
                                         file,
                                         "--bind",
                                         address,
                                         "--listen-port",
                                         std::to_string(test::FreeTcpUdpPort(address))};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    test::TempDir dir_;
    const std::string torrent_ = dir_ / "c.torrent";
    const std::string got_ = dir_ / "got/c.bin";
    std::string bytes_;
};

TEST_F(KfgetLan, SeederAndDownloaderFindEachOtherOnLoopback) {
    test::ChildProcess seeder;
    ASSERT_TRUE(seeder.Start(Command(dir_ / "data/c.bin", "127.0.0.61",
                                     {"--seed", "--lan-interface", "127.0.0.1", "-q"}),
                             dir_ / "seeder.log"));
    const int code =
        test::RunProgram(Command(got_, "127.0.0.62",
                                 {"--lan-interface", "127.0.0.1", "--sha1", test::Sha1Hex(bytes_),
                                  "--timeout", std::to_string(kDiscoverySeconds)}),
                         std::chrono::seconds(kDiscoverySeconds + 15), dir_ / "got.log");
    seeder.Stop();
    ASSERT_EQ(code, 0) << test::ReadWholeFile(dir_ / "got.log") << "\nseeder:\n"
                       << test::ReadWholeFile(dir_ / "seeder.log");
    EXPECT_EQ(test::ReadWholeFile(got_), bytes_);
}

TEST_F(KfgetLan, DiscoveryRunsOnlyWhereTheUserPointsIt) {
    struct Case {
        std::vector<std::string> args;
        int code;
        bool joined;
    };
    const Case cases[] = {
        {{}, 3, false},
        {{"--lan-interface", "127.0.0.1"}, 3, true},
        {{"--lan-interface", "127.0.0.1", "--no-lan"}, 3, false},
        {{"--lan-interface", "eth0"}, 1, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--timeout", "3", "-vv"});
        const std::string log = dir_ / ("run" + std::to_string(index++) + ".log");
        EXPECT_EQ(test::RunProgram(Command(got_, "127.0.0.62", args), 20s, log), c.code) << log;
        const std::string output = test::ReadWholeFile(log);
        EXPECT_EQ(
            output.find("LAN discovery joined 233.65.31.78 on 127.0.0.1") != std::string::npos,
            c.joined)
            << output;
    }
}

}  // namespace
}  // namespace kf
