// The engine in this process downloading from libtorrent seeders on loopback, each peer on its own
// 127/8 address: two honest seeders in end game, and one honest seeder beside a scripted peer that
// answers every request with wrong bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/api/CKestrelfetchCore.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/QSocket.h"
#include "engine/peers/BtWire.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/HostilePeer.h"
#include "support/LibtorrentPeer.h"
#include "support/LoopbackPorts.h"
#include "support/NoticeRecorder.h"
#include "support/OpenTracker.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::HostilePeer;
using test::LibtorrentPeer;

constexpr const char* kLeecherAddress = "127.0.0.41";
constexpr const char* kSeederAddress = "127.0.0.42";
constexpr const char* kSecondSeederAddress = "127.0.0.43";
constexpr const char* kLiarAddress = "127.0.0.44";
constexpr const char* kOtherAddress = "127.0.0.45";

class LibtorrentSwarm : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveMktorrent() || !LibtorrentPeer::Available()) {
            GTEST_SKIP() << "needs mktorrent and python3-libtorrent (scripts/install-deps)";
        }
        std::filesystem::create_directories(dir_ / "data");
        engine_ = std::make_unique<test::EngineSession>();
        ASSERT_TRUE(engine_->ok());
        ASSERT_EQ(SetListenAddress(kLeecherAddress), KF_OK);
        SetListenPort(test::FreeTcpPort());
        EnableP2P(1);
    }
    void TearDown() override { SetListenAddress(nullptr); }

    void MakeContent(int64_t size, int log2_piece) {
        content_ = test::MakeDownloadContent(dir_ / "data/file.bin", size, log2_piece, 77,
                                             dir_ / "file.torrent");
        ASSERT_FALSE(content_.torrent_path.empty());
    }

    void StartSeeder(LibtorrentPeer& seeder, LibtorrentPeer::Options options) {
        ASSERT_TRUE(seeder.Start(LibtorrentPeer::Role::kSeeder, content_.torrent_path,
                                 dir_ / "data", options));
        ASSERT_TRUE(test::WaitUntil([&] { return seeder.LogHas("SEEDING"); }, 30s))
            << seeder.LogText();
    }

    // Starts the task on `sources` and waits for it to complete within `limit`; answers the
    // seconds it took, or a negative number when it did not.
    double Download(const std::string& sources, std::chrono::seconds limit) {
        sources_ = sources;
        TaskParams params = test::P2spTaskParams(content_.torrent_path, sources_.c_str(), Target(),
                                                 Target() + ".kfinfo");
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(CreateAndStartTask(&params), KF_OK);
        task_ = params.handle;
        SetTaskConnectionLimits(task_, 49, 52);
        if (!test::WaitUntil([&] { return test::TaskComplete(task_); }, limit)) {
            return -1;
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }

    // Whether the engine answers a handshake for the torrent on a connection from `from` within
    // 3 s (false when it hangs up or stays silent).
    bool AnswersHandshakeFrom(const char* from) const {
        const std::string hex =
            test::TorrentInfoHashHex(test::ReadWholeFile(content_.torrent_path));
        BtWire::Hash20 info_hash{};
        for (size_t i = 0; i < info_hash.size(); ++i) {
            info_hash[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        }
        BtWire::Hash20 peer_id{};
        peer_id.fill('y');
        // The listen port came from the ephemeral range, so an outgoing connection may hold it
        // for a while and the listener opens late.
        SwarmRegistry& swarm = CKestrelfetchCore::Instance().Swarm();
        if (!test::WaitUntil([&] { return swarm.ListenerOpen(); }, 10s)) {
            return false;
        }
        QSocket client;
        const int32_t port = swarm.ListenPort();
        if (port == 0 || !client.ConnectTo(ParseDottedAddress(kLeecherAddress), port, true, nullptr,
                                           ParseDottedAddress(from))) {
            return false;
        }
        client.SendBytes(BtWire::BuildHandshake(info_hash, peer_id));
        bool closed = false;
        const bool got = test::WaitUntil(
            [&] {
                const int32_t buffered = client.ReceiveBytes();
                closed = buffered < 0;
                return closed || buffered >= static_cast<int32_t>(BtWire::kHandshakeLength);
            },
            3s);
        return got && !closed;
    }

    bool GotTheRightFile() const {
        return test::Sha1Hex(test::ReadWholeFile(Target())) == test::Sha1Hex(content_.bytes);
    }
    std::string Target() const { return dir_ / "got.bin"; }

    test::TempDir dir_;
    std::unique_ptr<test::EngineSession> engine_;
    test::DownloadContent content_;
    std::string sources_;
    KfTaskHandle task_ = nullptr;
};

// Both seeders are asked for the last pieces; a block one of them delivered is cancelled at the
// other as it arrives (and by the once-a-second check of held blocks), so little comes twice:
// without the cancels about 1.3 MiB of the 8 came twice here. Each sends 1 MiB/s at most and reads
// ahead 32 KiB, which keeps the end game long enough for the cancels to matter.
TEST_F(LibtorrentSwarm, EndGameCancelsWhatTheOtherSeederDelivered) {
    constexpr int64_t kSize = 8 * 1024 * 1024;
    constexpr int64_t kRate = 1024 * 1024;
    constexpr int64_t kReadAhead = 32 * 1024;
    MakeContent(kSize, 18);
    LibtorrentPeer first;
    LibtorrentPeer second;
    StartSeeder(first,
                {.address = kSeederAddress, .upload_limit = kRate, .send_buffer = kReadAhead});
    StartSeeder(
        second,
        {.address = kSecondSeederAddress, .upload_limit = kRate, .send_buffer = kReadAhead});
    const double seconds =
        Download("btnode://" + first.EndpointText() + "\nbtnode://" + second.EndpointText(), 60s);
    first.Stop();
    second.Stop();
    const int64_t twice = first.Uploaded() + second.Uploaded() - kSize;
    std::printf("complete after %.2f s; sent by the seeders %lld and %lld: %lld bytes twice\n",
                seconds, static_cast<long long>(first.Uploaded()),
                static_cast<long long>(second.Uploaded()), static_cast<long long>(twice));
    ASSERT_GT(seconds, 0) << test::QueryInfo(task_).bytes_done;
    EXPECT_EQ(StopTask(task_, 0), KF_OK);
    EXPECT_TRUE(GotTheRightFile());
    EXPECT_GE(twice, 0);
    EXPECT_LT(twice, kSize / 16);
}

// The liar claims every piece and sends wrong bytes. The download completes from the seeder
// alone, fast: the seeder is never dropped (libtorrent saw one connection), the liar is banned
// with its second bad piece, connected once or twice, and gave little.
TEST_F(LibtorrentSwarm, LiarIsBannedAndTheHonestSeederIsNeverDropped) {
    constexpr int64_t kSize = 64 * 1024 * 1024;
    MakeContent(kSize, 18);
    LibtorrentPeer seeder;
    StartSeeder(seeder, {.address = kSeederAddress});
    HostilePeer liar(HostilePeer::Behaviour::kWrongData,
                     test::TorrentInfoHashHex(test::ReadWholeFile(content_.torrent_path)),
                     content_.bytes, content_.piece_length);
    ASSERT_TRUE(liar.Start(kLiarAddress));
    test::NoticeRecorder notices;
    const std::string liar_address =
        std::string(kLiarAddress) + ":" + std::to_string(liar.Endpoint().port);
    const double seconds =
        Download("btnode://" + seeder.EndpointText() + "\nbtnode://" + liar_address, 120s);
    const int seeder_connections =
        seeder.LogCount(std::string("INCOMING ") + kLeecherAddress + "\n");
    std::printf(
        "complete after %.2f s; liar: %lld block bytes sent, %d connections; seeder: "
        "%d connections\n",
        seconds, static_cast<long long>(liar.BlockBytesSent()), liar.Accepted(),
        seeder_connections);
    ASSERT_GT(seconds, 0) << test::QueryInfo(task_).bytes_done << "\n"
                          << seeder.LogText() << notices.Text();
    // The ban holds for connections from the liar's address too; others are answered.
    EXPECT_FALSE(AnswersHandshakeFrom(kLiarAddress));
    EXPECT_TRUE(AnswersHandshakeFrom(kOtherAddress));
    EXPECT_EQ(StopTask(task_, 0), KF_OK);
    EXPECT_TRUE(GotTheRightFile());

    // In order: every failed piece is told, those charged to the liar name it, and the ban
    // comes with the second.
    int charged = 0;
    int charged_before_ban = -1;
    for (const KfNotice& notice : notices.All()) {
        const std::string address = notice.address;
        if (notice.kind == KF_NOTICE_PIECE_FAILED) {
            EXPECT_TRUE(address.empty() || address == liar_address) << address << notice.text;
            charged += address == liar_address ? 1 : 0;
        } else if (notice.kind == KF_NOTICE_BANNED) {
            EXPECT_EQ(charged_before_ban, -1) << "banned twice";
            EXPECT_EQ(address, liar_address);
            EXPECT_NE(std::string(notice.text).find("banned"), std::string::npos) << notice.text;
            charged_before_ban = charged;
        } else if (notice.kind == KF_NOTICE_DROPPED) {
            EXPECT_NE(address.rfind(std::string(kSeederAddress) + ":", 0), 0u) << notice.text;
        }
    }
    EXPECT_EQ(charged_before_ban, 2) << notices.Text();
    EXPECT_LE(liar.Accepted(), 2);
    EXPECT_LT(liar.BlockBytesSent(), kSize / 10);
    EXPECT_EQ(seeder_connections, 1) << seeder.LogText();
}

}  // namespace
}  // namespace kf
