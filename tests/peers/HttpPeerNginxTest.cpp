#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/peers/THttpPeer.h"
#include "support/FakePeerTask.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using test::FakePeerTask;
using test::NginxServer;
using test::TempDir;

constexpr int32_t kPiece = 4 * kBlockSize;
constexpr int64_t kSize = 24LL * kPiece + 777;

class HttpPeerNginxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed (scripts/install-deps installs it)";
        }
        content_.resize(static_cast<size_t>(kSize));
        for (int64_t i = 0; i < kSize; ++i) {
            content_[static_cast<size_t>(i)] = static_cast<char>((i * 2654435761u) >> 13);
        }
        ASSERT_TRUE(test::WriteFile(www_ / "file.bin", content_));
        ASSERT_TRUE(nginx_.Start(www_.Path())) << nginx_.ErrorLogText();
    }

    RefPtr<TPeerId> Source(const std::string& path) {
        RefPtr<TPeerId> source = RefPtr<TPeerId>::Make(nginx_.Url(path));
        EXPECT_TRUE(source->ParseSourceAddress());
        source->connections = 1;
        return source;
    }

    // Pumps until the peer asks to be dropped (then resets it), at most 20 s. Its last status.
    int32_t RunToEnd(THttpPeer& peer) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!peer.Pump()) {
                const int32_t status = peer.Status();
                peer.Reset();
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return -1;
    }

    bool Matches(FakePeerTask& task, int32_t piece) const {
        const int64_t start = static_cast<int64_t>(piece) * kPiece;
        const int64_t length = std::min<int64_t>(kPiece, kSize - start);
        return task.Stored(start, length) == content_.substr(start, length);
    }

    TempDir www_;
    NginxServer nginx_;
    std::string content_;
};

TEST_F(HttpPeerNginxTest, DownloadsTheWholeFile) {
    FakePeerTask task(kSize, kPiece);
    RefPtr<TPeerId> source = Source("/file.bin");
    THttpPeer peer(task);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), TPeerObject::kStatusFinished);
    EXPECT_EQ(source->UrlInfo().content_length, kSize);
    ASSERT_TRUE(task.AllDone());
    for (int32_t piece = 0; piece < task.PieceCount(); ++piece) {
        EXPECT_TRUE(Matches(task, piece)) << "piece " << piece;
    }
}

TEST_F(HttpPeerNginxTest, RangedRequestsSkipsAndReconnects) {
    FakePeerTask task(kSize, kPiece);
    for (int32_t piece : {0, 1, 2, 5, 9, 10, 11, 12, 13}) {
        task.MarkPieceDone(piece);
    }
    RefPtr<TPeerId> source = Source("/file.bin");
    source->UrlInfo().content_length = kSize;
    THttpPeer peer(task);
    ASSERT_TRUE(peer.Attach(source));
    EXPECT_EQ(RunToEnd(peer), TPeerObject::kStatusFinished);
    ASSERT_TRUE(task.AllDone());
    for (int32_t piece : {3, 4, 6, 7, 8, 14, 23, 24}) {
        EXPECT_TRUE(Matches(task, piece)) << "piece " << piece;
    }
    // Piece 3 needed a Range request, piece 6 was reached by skipping piece 5, and the five
    // pieces 9..13 (320 KiB) needed a second range.
    EXPECT_EQ(source->reconnects, 1);
    for (const FakePeerTask::Write& write : task.writes) {
        const int32_t piece = write.block * kBlockSize / kPiece;
        EXPECT_TRUE(piece != 5 && (piece < 9 || piece > 13)) << "block " << write.block;
    }
}

TEST_F(HttpPeerNginxTest, MissingFileRemovesTheSource) {
    FakePeerTask task(kSize, kPiece);
    RefPtr<TPeerId> source = Source("/missing.bin");
    THttpPeer peer(task);
    ASSERT_TRUE(peer.Attach(source));
    RunToEnd(peer);
    ASSERT_EQ(task.removed_sources.size(), 1u);
    EXPECT_EQ(task.removed_sources[0], source->url);
}

}  // namespace
}  // namespace kf
