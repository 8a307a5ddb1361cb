// The FTP source peer against a real FTP server (pyftpdlib) on loopback, with a fake task.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/peers/TFtpPeer.h"
#include "support/FakePeerTask.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using test::FakePeerTask;
using test::FtpServer;
using test::TempDir;

constexpr int32_t kPiece = 4 * kBlockSize;
constexpr int64_t kSize = 96LL * kPiece + 777;  // 6 MiB and a bit: transfers outlast the buffers

class FtpPeerServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!FtpServer::Available()) {
            GTEST_SKIP() << "pyftpdlib is not installed (scripts/install-deps installs it)";
        }
        content_.resize(static_cast<size_t>(kSize));
        for (int64_t i = 0; i < kSize; ++i) {
            content_[static_cast<size_t>(i)] = static_cast<char>((i * 2654435761u) >> 11);
        }
        ASSERT_TRUE(test::WriteFile(root_ / "file.bin", content_));
    }

    RefPtr<TPeerId> Source(const std::string& url) {
        RefPtr<TPeerId> source = RefPtr<TPeerId>::Make(url);
        EXPECT_TRUE(source->ParseSourceAddress());
        source->connections = 1;
        return source;
    }

    // Pumps until the peer asks to be dropped (then resets it), at most 30 s. Its last status.
    int32_t RunToEnd(TFtpPeer& peer) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!peer.Pump()) {
                const int32_t status = peer.Status();
                peer.Reset();
                return status;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return -1;
    }

    bool Matches(FakePeerTask& task, int32_t piece) const {
        const int64_t start = static_cast<int64_t>(piece) * kPiece;
        const int64_t length = std::min<int64_t>(kPiece, kSize - start);
        return task.Stored(start, length) == content_.substr(start, length);
    }

    TempDir root_;
    FtpServer ftp_;
    std::string content_;
};

TEST_F(FtpPeerServerTest, DownloadsTheWholeFile) {
    ASSERT_TRUE(ftp_.Start(root_.Path())) << ftp_.LogText();
    FakePeerTask task(kSize, kPiece);
    RefPtr<TPeerId> source = Source(ftp_.Url("/file.bin"));
    TFtpPeer peer(task);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), TPeerObject::kStatusFinished) << ftp_.LogText();
    EXPECT_EQ(source->UrlInfo().content_length, kSize);
    ASSERT_TRUE(task.AllDone());
    for (int32_t piece = 0; piece < task.PieceCount(); ++piece) {
        EXPECT_TRUE(Matches(task, piece)) << "piece " << piece;
    }
    EXPECT_EQ(source->penalty, 0);
}

TEST_F(FtpPeerServerTest, SkipsAndRepositionsWithinOneSession) {
    ASSERT_TRUE(ftp_.Start(root_.Path())) << ftp_.LogText();
    FakePeerTask task(kSize, kPiece);
    // Piece 1 is skipped (64 KiB); pieces 4..40 need a new transfer, broken off mid-stream.
    for (int32_t piece : {1}) {
        task.MarkPieceDone(piece);
    }
    for (int32_t piece = 4; piece <= 40; ++piece) {
        task.MarkPieceDone(piece);
    }
    RefPtr<TPeerId> source = Source(ftp_.Url("/file.bin"));
    source->max_connections = 5;
    TFtpPeer peer(task);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), TPeerObject::kStatusFinished) << ftp_.LogText();
    ASSERT_TRUE(task.AllDone());
    for (int32_t piece = 0; piece < task.PieceCount(); ++piece) {
        if (piece != 1 && (piece < 4 || piece > 40)) {
            EXPECT_TRUE(Matches(task, piece)) << "piece " << piece;
        }
    }
    for (const FakePeerTask::Write& write : task.writes) {
        const int32_t piece = write.block * kBlockSize / kPiece;
        EXPECT_TRUE(piece != 1 && (piece < 4 || piece > 40)) << "block " << write.block;
    }
    // The server's answer to the broken transfer costs the source nothing.
    EXPECT_EQ(source->max_connections, 5);
    EXPECT_EQ(source->penalty, 0);
    EXPECT_NE(ftp_.LogText().find("<- rest " + std::to_string(41LL * kPiece)), std::string::npos)
        << ftp_.LogText();
}

TEST_F(FtpPeerServerTest, MissingFileIsAServerError) {
    ASSERT_TRUE(ftp_.Start(root_.Path())) << ftp_.LogText();
    FakePeerTask task(kSize, kPiece);
    RefPtr<TPeerId> source = Source(ftp_.Url("/missing.bin"));
    TFtpPeer peer(task);
    ASSERT_TRUE(peer.Attach(source));
    RunToEnd(peer);
    EXPECT_EQ(source->penalty, TPeerObject::kServerErrorPenalty);
    EXPECT_TRUE(task.writes.empty());
}

TEST_F(FtpPeerServerTest, NamedAccountLogsIn) {
    ASSERT_TRUE(ftp_.Start(root_.Path(), "bob", "s3cret")) << ftp_.LogText();
    const std::string address = "127.0.0.1:" + std::to_string(ftp_.Port()) + "/file.bin";
    {
        FakePeerTask task(kSize, kPiece);
        for (int32_t piece = 2; piece < task.PieceCount(); ++piece) {
            task.MarkPieceDone(piece);
        }
        RefPtr<TPeerId> source = Source("ftp://bob:s3cret@" + address);
        TFtpPeer peer(task);
        ASSERT_TRUE(peer.Attach(source));
        EXPECT_EQ(RunToEnd(peer), TPeerObject::kStatusFinished) << ftp_.LogText();
        EXPECT_TRUE(task.AllDone());
        EXPECT_TRUE(Matches(task, 0));
        EXPECT_TRUE(Matches(task, 1));
    }
    {
        FakePeerTask task(kSize, kPiece);
        RefPtr<TPeerId> source = Source("ftp://bob:wrong@" + address);
        TFtpPeer peer(task);
        ASSERT_TRUE(peer.Attach(source));
        RunToEnd(peer);
        EXPECT_EQ(source->penalty, TPeerObject::kServerErrorPenalty);  // 530
        EXPECT_TRUE(task.writes.empty());
    }
}

TEST_F(FtpPeerServerTest, FetchesIntoMemory) {
    const std::string small = content_.substr(0, 70000);
    ASSERT_TRUE(test::WriteFile(root_ / "game.torrent", small));
    ASSERT_TRUE(ftp_.Start(root_.Path())) << ftp_.LogText();
    FakePeerTask task(kSize, kPiece);
    task.size_known = false;
    RefPtr<TPeerId> source = Source(ftp_.Url("/game.torrent"));
    source->UrlInfo().fetch_to_memory = true;
    TFtpPeer peer(task);
    ASSERT_TRUE(peer.Attach(source));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!source->UrlInfo().memory_done && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(peer.Pump()) << ftp_.LogText();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(source->UrlInfo().memory_body, small);
}

}  // namespace
}  // namespace kf
