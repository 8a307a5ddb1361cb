// kfget in real BitTorrent swarms on loopback: a private opentracker, libtorrent, transmission
// and aria2c peers, nginx for P2SP, a second kfget, and scripted hostile peers. Every peer has
// its own 127/8 address other than 127.0.0.1 (the engine refuses peers there), and every run of
// kfget is bounded by its own --timeout and by the test's waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/Aria2Peer.h"
#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/HostilePeer.h"
#include "support/LibtorrentPeer.h"
#include "support/LoopbackPorts.h"
#include "support/NginxServer.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"
#include "support/TransmissionPeer.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::Aria2Peer;
using test::ChildProcess;
using test::HostilePeer;
using test::LibtorrentPeer;
using test::OpenTracker;
using test::TrackerPeer;
using test::TransmissionPeer;

const std::string kKfget = std::string(KF_BINARY_DIR) + "/kfget";
constexpr int kLog2Piece = 18;                      // 256 KiB pieces
constexpr int64_t kSize = 4 * 1024 * 1024 + 12345;  // 17 pieces, the last one short
// The longest a kfget run may take in these tests (its own --timeout).
constexpr int kKfgetSeconds = 60;

enum class Announce { kHttp, kUdp };

void PrintTo(Announce announce, std::ostream* out) {
    *out << (announce == Announce::kHttp ? "HTTP announce" : "UDP announce");
}

// The byte counts of kfget's last progress line ("... HTTP 1.0 MiB  BT 3.0 MiB").
struct SourceBytes {
    bool seen = false;
    double http = 0;
    double bt = 0;
};

double ToBytes(double value, const std::string& unit) {
    if (unit == "KiB") {
        return value * 1024;
    }
    if (unit == "MiB") {
        return value * 1024 * 1024;
    }
    if (unit == "GiB") {
        return value * 1024 * 1024 * 1024;
    }
    return value;
}

SourceBytes LastSourceBytes(const std::string& output) {
    static const std::regex kLine(
        R"(HTTP ([0-9.]+) (B|KiB|MiB|GiB)\s+BT ([0-9.]+) (B|KiB|MiB|GiB))");
    SourceBytes last;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch match;
        if (std::regex_search(line, match, kLine)) {
            last.seen = true;
            last.http = ToBytes(std::stod(match[1].str()), match[2]);
            last.bt = ToBytes(std::stod(match[3].str()), match[4]);
        }
    }
    return last;
}

class KfgetSwarm : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!OpenTracker::Available() || !test::HaveMktorrent() || !LibtorrentPeer::Available() ||
            !Aria2Peer::Available() || !TransmissionPeer::Available()) {
            GTEST_SKIP() << "needs opentracker, mktorrent, python3-libtorrent, aria2c and "
                            "transmission-daemon (scripts/install-deps)";
        }
        std::filesystem::create_directories(dir_ / "data");
        std::filesystem::create_directories(dir_ / "got");
        bytes_ = test::RandomBytes(kSize, 4242);
        ASSERT_TRUE(test::WriteFile(dir_ / "data/c.bin", bytes_));
        // The announce addresses are not part of the info-hash: the tracker can be started on
        // the hash of a first metainfo and the real ones written once its port is known.
        hash_ = test::TorrentInfoHashHex(test::MakeTorrent(
            dir_ / "data/c.bin", kLog2Piece, dir_ / "first.torrent", {"http://127.0.0.1:1/a"}));
        ASSERT_EQ(hash_.size(), 40u);
        ASSERT_TRUE(tracker_.Start({hash_})) << tracker_.LogText();
        ASSERT_FALSE(test::MakeTorrent(dir_ / "data/c.bin", kLog2Piece, http_torrent_,
                                       {tracker_.HttpAnnounceUrl()})
                         .empty());
        ASSERT_FALSE(test::MakeTorrent(dir_ / "data/c.bin", kLog2Piece, udp_torrent_,
                                       {tracker_.UdpAnnounceUrl()})
                         .empty());
    }

    const std::string& Torrent(Announce announce) const {
        return announce == Announce::kHttp ? http_torrent_ : udp_torrent_;
    }

    // kfget's command for the content at `file`, listening and connecting from `address`.
    std::vector<std::string> KfgetCommand(const std::string& torrent, const std::string& file,
                                          const std::string& address, int32_t port,
                                          const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> argv = {kKfget,
                                         "--torrent",
                                         torrent,
                                         "--file",
                                         file,
                                         "--resume",
                                         file + ".kfinfo",
                                         "--bind",
                                         address,
                                         "--listen-port",
                                         std::to_string(port),
                                         "--timeout",
                                         std::to_string(kKfgetSeconds)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    // Downloads into got/c.bin from 127.0.0.10; kfget's exit code.
    int Download(const std::string& torrent, const std::vector<std::string>& extra = {}) {
        const int32_t port = test::FreeTcpUdpPort("127.0.0.10");
        return test::RunProgram(KfgetCommand(torrent, Got(), "127.0.0.10", port, extra),
                                std::chrono::seconds(kKfgetSeconds + 30), log_);
    }

    // Starts a kfget that seeds the complete data from `address` and waits until the tracker
    // lists it there (at seeder_port_).
    bool StartKfgetSeeder(ChildProcess& seeder, const std::string& address,
                          const std::vector<std::string>& extra = {}) {
        seeder_port_ = test::FreeTcpUdpPort(address);
        std::vector<std::string> argv =
            KfgetCommand(http_torrent_, dir_ / "data/c.bin", address, seeder_port_, extra);
        argv.push_back("--seed");
        return seeder.Start(argv, seeder_log_) &&
               tracker_.WaitForPeer(hash_, TrackerPeer{address, seeder_port_}, 30s);
    }

    std::string Got() const { return dir_ / "got/c.bin"; }
    bool GotIsRight() const { return test::ReadWholeFile(Got()) == bytes_; }
    std::string Log() const { return test::ReadWholeFile(log_); }
    std::string SeederLog() const { return test::ReadWholeFile(seeder_log_); }

    test::TempDir dir_;
    const std::string http_torrent_ = dir_ / "http.torrent";
    const std::string udp_torrent_ = dir_ / "udp.torrent";
    const std::string log_ = dir_ / "kfget.log";
    const std::string seeder_log_ = dir_ / "kfget-seeder.log";
    std::string bytes_;
    std::string hash_;
    int32_t seeder_port_ = 0;
    OpenTracker tracker_;
};

class KfgetFromLibtorrent : public KfgetSwarm, public ::testing::WithParamInterface<Announce> {};

TEST_P(KfgetFromLibtorrent, DownloadsTheWholeTorrent) {
    const std::string& torrent = Torrent(GetParam());
    LibtorrentPeer seeder;
    ASSERT_TRUE(seeder.Start(LibtorrentPeer::Role::kSeeder, torrent, dir_ / "data",
                             LibtorrentPeer::Options{.address = "127.0.0.2"}));
    ASSERT_TRUE(seeder.WaitSeeding(20s)) << seeder.LogText();
    ASSERT_TRUE(tracker_.WaitForPeer(hash_, seeder.Endpoint(), 10s));
    ASSERT_EQ(Download(torrent), 0) << Log();
    EXPECT_TRUE(GotIsRight());
    EXPECT_GE(LastSourceBytes(Log()).bt, static_cast<double>(kSize) * 0.99) << Log();
}

INSTANTIATE_TEST_SUITE_P(Announce, KfgetFromLibtorrent,
                         ::testing::Values(Announce::kHttp, Announce::kUdp), [](const auto& info) {
                             return info.param == Announce::kHttp ? "Http" : "Udp";
                         });

TEST_F(KfgetSwarm, DownloadsFromTransmission) {
    TransmissionPeer seeder;
    ASSERT_TRUE(seeder.Start(udp_torrent_, dir_ / "data", "127.0.0.3"));
    ASSERT_TRUE(seeder.WaitComplete(20s)) << seeder.LogText();
    ASSERT_TRUE(tracker_.WaitForPeer(hash_, seeder.Endpoint(), 15s));
    ASSERT_EQ(Download(udp_torrent_), 0) << Log();
    EXPECT_TRUE(GotIsRight());
}

TEST_F(KfgetSwarm, DownloadsFromAria2) {
    Aria2Peer seeder;
    ASSERT_TRUE(seeder.Start(
        Aria2Peer::Role::kSeeder, http_torrent_, dir_ / "data",
        Aria2Peer::Options{.address = "127.0.0.4", .http_tracker = tracker_.HttpAnnounceUrl()}));
    ASSERT_TRUE(tracker_.WaitForPeer(hash_, seeder.Endpoint(), 15s)) << seeder.LogText();
    ASSERT_EQ(Download(http_torrent_), 0) << Log();
    EXPECT_TRUE(GotIsRight());
}

TEST_F(KfgetSwarm, SeedsToLibtorrent) {
    ChildProcess kfget;
    ASSERT_TRUE(StartKfgetSeeder(kfget, "127.0.0.5")) << SeederLog();
    LibtorrentPeer leecher;
    ASSERT_TRUE(leecher.Start(LibtorrentPeer::Role::kLeecher, http_torrent_, dir_ / "got",
                              LibtorrentPeer::Options{.address = "127.0.0.6", .time_limit = 60s}));
    EXPECT_EQ(leecher.WaitExit(90s), 0) << leecher.LogText() << SeederLog();
    EXPECT_TRUE(GotIsRight());
    EXPECT_TRUE(kfget.IsRunning()) << SeederLog();
}

TEST_F(KfgetSwarm, SeedsToAria2) {
    ChildProcess kfget;
    ASSERT_TRUE(StartKfgetSeeder(kfget, "127.0.0.7")) << SeederLog();
    Aria2Peer leecher;
    ASSERT_TRUE(leecher.Start(Aria2Peer::Role::kLeecher, http_torrent_, dir_ / "got",
                              Aria2Peer::Options{.address = "127.0.0.8",
                                                 .http_tracker = tracker_.HttpAnnounceUrl(),
                                                 .time_limit = 60s}));
    EXPECT_EQ(leecher.WaitExit(90s), 0) << leecher.LogText() << SeederLog();
    EXPECT_TRUE(GotIsRight());
    EXPECT_TRUE(kfget.IsRunning()) << SeederLog();
}

class KfgetToKfget : public KfgetSwarm, public ::testing::WithParamInterface<bool> {};

TEST_P(KfgetToKfget, PiecesPassBetweenTwoProcesses) {
    const std::vector<std::string> wrap =
        GetParam() ? std::vector<std::string>{"--wrap-handshake"} : std::vector<std::string>{};
    ChildProcess seeder;
    ASSERT_TRUE(StartKfgetSeeder(seeder, "127.0.0.9", wrap)) << SeederLog();
    ASSERT_EQ(Download(http_torrent_, wrap), 0) << Log() << SeederLog();
    EXPECT_TRUE(GotIsRight());
    EXPECT_TRUE(seeder.IsRunning()) << SeederLog();
}

// Each process starts with every other piece (the rest zeros): seeding what they hold, they
// complete each other.
TEST_P(KfgetToKfget, TwoHalfCopiesCompleteEachOther) {
    const std::vector<std::string> wrap =
        GetParam() ? std::vector<std::string>{"--wrap-handshake"} : std::vector<std::string>{};
    const int64_t piece = int64_t{1} << kLog2Piece;
    std::string even = bytes_;
    std::string odd = bytes_;
    for (int64_t start = 0; start < kSize; start += piece) {
        std::string& blanked = (start / piece) % 2 == 0 ? odd : even;
        std::fill_n(blanked.begin() + start, std::min(piece, kSize - start), '\0');
    }
    const std::string even_path = dir_ / "even.bin";
    const std::string odd_path = dir_ / "odd.bin";
    ASSERT_TRUE(test::WriteFile(even_path, even));
    ASSERT_TRUE(test::WriteFile(odd_path, odd));

    ChildProcess first;
    ChildProcess second;
    std::vector<std::string> first_argv = KfgetCommand(http_torrent_, even_path, "127.0.0.14",
                                                       test::FreeTcpUdpPort("127.0.0.14"), wrap);
    first_argv.push_back("--seed");
    std::vector<std::string> second_argv = KfgetCommand(http_torrent_, odd_path, "127.0.0.15",
                                                        test::FreeTcpUdpPort("127.0.0.15"), wrap);
    second_argv.push_back("--seed");
    ASSERT_TRUE(first.Start(first_argv, log_));
    ASSERT_TRUE(second.Start(second_argv, seeder_log_));
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            return test::ReadWholeFile(even_path) == bytes_ &&
                   test::ReadWholeFile(odd_path) == bytes_;
        },
        std::chrono::seconds(kKfgetSeconds)))
        << Log() << SeederLog();
    EXPECT_TRUE(first.IsRunning()) << Log();
    EXPECT_TRUE(second.IsRunning()) << SeederLog();
}

INSTANTIATE_TEST_SUITE_P(Handshake, KfgetToKfget, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WrappedInHttp" : "Plain"; });

// kfget --ip-filter: a file it cannot read is a usage error. With a filter that blocks one 127/8
// address, a seeding kfget closes every connection from there (the leecher there tries again and
// gets nothing), while a leecher elsewhere takes the whole file from it. Neither leecher knows a
// tracker: their metainfo names an address where none listens.
TEST_F(KfgetSwarm, IpFilterKeepsABlockedLeecherOut) {
    EXPECT_EQ(test::RunProgram({kKfget, "--ip-filter", dir_ / "missing.dat", "--source",
                                "http://127.0.0.1:9/f", "--file", dir_ / "f.bin"},
                               30s, log_),
              1);
    EXPECT_NE(Log().find("kfget: cannot read the IP filter file: " + dir_ / "missing.dat"),
              std::string::npos)
        << Log();

    ASSERT_TRUE(test::WriteFile(dir_ / "filter.dat", "127.0.0.17-127.0.0.17 0 test leecher\n"));
    ChildProcess kfget;
    ASSERT_TRUE(StartKfgetSeeder(kfget, "127.0.0.18", {"--ip-filter", dir_ / "filter.dat"}))
        << SeederLog();
    const std::vector<std::string> to_kfget = {"127.0.0.18:" + std::to_string(seeder_port_)};
    std::filesystem::create_directories(dir_ / "blocked");
    LibtorrentPeer blocked;
    ASSERT_TRUE(
        blocked.Start(LibtorrentPeer::Role::kLeecher, dir_ / "first.torrent", dir_ / "blocked",
                      {.address = "127.0.0.17", .connect_to = to_kfget, .time_limit = 60s}));
    const auto closings = [&] {
        const std::string log = blocked.LogText();
        size_t count = 0;
        for (size_t at = log.find("DISCONNECTED 127.0.0.18"); at != std::string::npos;
             at = log.find("DISCONNECTED 127.0.0.18", at + 1)) {
            ++count;
        }
        return count;
    };
    EXPECT_TRUE(test::WaitUntil([&] { return closings() >= 2; }, 30s)) << blocked.LogText();
    blocked.Stop();
    EXPECT_FALSE(blocked.LogHas("COMPLETE")) << blocked.LogText();

    LibtorrentPeer allowed;
    ASSERT_TRUE(
        allowed.Start(LibtorrentPeer::Role::kLeecher, dir_ / "first.torrent", dir_ / "got",
                      {.address = "127.0.0.19", .connect_to = to_kfget, .time_limit = 60s}));
    EXPECT_EQ(allowed.WaitExit(90s), 0) << allowed.LogText() << SeederLog();
    EXPECT_TRUE(GotIsRight());
    EXPECT_TRUE(kfget.IsRunning()) << SeederLog();
}

// A seeding kfget ends by itself, successfully, once its seeding time is over.
TEST_F(KfgetSwarm, SeedingEndsWhenItsTimeIsOver) {
    const int32_t port = test::FreeTcpUdpPort("127.0.0.16");
    std::vector<std::string> argv =
        KfgetCommand(http_torrent_, dir_ / "data/c.bin", "127.0.0.16", port);
    argv.insert(argv.end(), {"--seed", "--seed-hours", "0"});
    EXPECT_EQ(test::RunProgram(argv, std::chrono::seconds(kKfgetSeconds + 30), log_), 0) << Log();
    EXPECT_EQ(test::ReadWholeFile(dir_ / "data/c.bin"), bytes_);
    // A complete download is neither a failure nor something to resume.
    EXPECT_EQ(Log().find("warning"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("resume"), std::string::npos) << Log();
}

// A P2SP task takes its bytes from the server and from the swarm at once.
TEST_F(KfgetSwarm, P2spTakesBytesFromServerAndSwarm) {
    if (!test::NginxServer::Available()) {
        GTEST_SKIP() << "needs nginx";
    }
    test::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(dir_ / "data")) << nginx.ErrorLogText();
    LibtorrentPeer seeder;
    ASSERT_TRUE(seeder.Start(LibtorrentPeer::Role::kSeeder, http_torrent_, dir_ / "data",
                             LibtorrentPeer::Options{.address = "127.0.0.11"}));
    ASSERT_TRUE(seeder.WaitSeeding(20s)) << seeder.LogText();
    ASSERT_TRUE(tracker_.WaitForPeer(hash_, seeder.Endpoint(), 10s));
    // One server connection, held to 1 MB/s by the task limit, leaves room for the swarm.
    ASSERT_EQ(Download(http_torrent_,
                       {"--source", nginx.Url("/c.bin"), "--connections", "1", "--limit", "1000"}),
              0)
        << Log();
    EXPECT_TRUE(GotIsRight());
    const SourceBytes bytes = LastSourceBytes(Log());
    ASSERT_TRUE(bytes.seen) << Log();
    EXPECT_GT(bytes.http, 0) << Log();
    EXPECT_GT(bytes.bt, 0) << Log();
    EXPECT_GE(bytes.http + bytes.bt, static_cast<double>(kSize) * 0.99) << Log();
}

struct HostileCase {
    const char* name;
    HostilePeer::Behaviour behaviour;
};

void PrintTo(const HostileCase& hostile, std::ostream* out) {
    *out << hostile.name;
}

class KfgetAmongHostilePeers : public KfgetSwarm,
                               public ::testing::WithParamInterface<HostileCase> {};

// kfget meets the hostile peer first, alone; once the peer has done its worst, a good seeder
// joins (it learns of kfget from the tracker and connects to it). kfget must not crash, must
// finish within its time and must write the right file; with -v it tells the ban of the peer
// that sent wrong data, and of no other.
TEST_P(KfgetAmongHostilePeers, FinishesWithTheRightFile) {
    const HostilePeer::Behaviour behaviour = GetParam().behaviour;
    HostilePeer hostile(behaviour, hash_, bytes_, int64_t{1} << kLog2Piece);
    ASSERT_TRUE(hostile.Start("127.0.0.12"));
    test::TrackerAnnounce announce;
    announce.info_hash_hex = hash_;
    announce.from_address = "127.0.0.12";
    announce.port = hostile.Endpoint().port;
    announce.left = 0;
    announce.peer_id = HostilePeer::PeerId();
    ASSERT_TRUE(tracker_.UdpAnnounce(announce).has_value());

    ChildProcess kfget;
    const int32_t port = test::FreeTcpUdpPort("127.0.0.10");
    ASSERT_TRUE(kfget.Start(KfgetCommand(http_torrent_, Got(), "127.0.0.10", port, {"-v"}), log_));
    const bool serves = behaviour == HostilePeer::Behaviour::kWrongData ||
                        behaviour == HostilePeer::Behaviour::kUnrequestedBlocks;
    const bool met = test::WaitUntil(
        [&] {
            if (behaviour == HostilePeer::Behaviour::kStall) {
                return hostile.Requests() > 0;
            }
            return serves ? hostile.BlocksSent() > 0 : hostile.Handshakes() > 0;
        },
        20s);
    EXPECT_TRUE(met) << "kfget never got that far with the hostile peer\n" << Log();
    ASSERT_TRUE(kfget.IsRunning() || kfget.WaitExit(0ms) == 0) << Log();

    LibtorrentPeer seeder;
    ASSERT_TRUE(seeder.Start(LibtorrentPeer::Role::kSeeder, http_torrent_, dir_ / "data",
                             LibtorrentPeer::Options{.address = "127.0.0.13"}));
    EXPECT_EQ(kfget.WaitExit(std::chrono::seconds(kKfgetSeconds + 30)), 0)
        << Log() << seeder.LogText();
    EXPECT_TRUE(GotIsRight());
    // Only the peer that sent bad data is banned for it, and kfget -v says so.
    const std::string banned = "kfget: banned 127.0.0.12:" + std::to_string(announce.port) + ": ";
    EXPECT_EQ(Log().find(banned) != std::string::npos,
              behaviour == HostilePeer::Behaviour::kWrongData)
        << Log();
}

INSTANTIATE_TEST_SUITE_P(
    Behaviour, KfgetAmongHostilePeers,
    ::testing::Values(HostileCase{"OversizedLength", HostilePeer::Behaviour::kOversizedLength},
                      HostileCase{"WrongBitfieldSize", HostilePeer::Behaviour::kWrongBitfieldSize},
                      HostileCase{"UnrequestedBlocks", HostilePeer::Behaviour::kUnrequestedBlocks},
                      HostileCase{"WrongData", HostilePeer::Behaviour::kWrongData},
                      HostileCase{"WrongInfoHash", HostilePeer::Behaviour::kWrongInfoHash},
                      HostileCase{"OwnPeerId", HostilePeer::Behaviour::kOwnPeerId},
                      HostileCase{"Stall", HostilePeer::Behaviour::kStall}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kf
