// Whole downloads from real HTTP servers (private nginx instances on loopback), driven only
// through the engine's call interface.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LyingHttpServer.h"
#include "support/NginxServer.h"
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

class HttpDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::Available() || !test::HaveMktorrent()) {
            GTEST_SKIP() << "needs nginx and mktorrent (scripts/install-deps)";
        }
        ASSERT_TRUE(engine_.ok());
    }

    // Serves `size` random bytes as /file.bin with pieces of 2^log2_piece bytes.
    void Serve(int64_t size, int log2_piece) {
        content_ = test::MakeDownloadContent(www_ / "file.bin", size, log2_piece, 77,
                                             meta_ / "file.torrent");
        ASSERT_FALSE(content_.torrent_path.empty());
        ASSERT_TRUE(nginx_.Start(www_.Path())) << nginx_.ErrorLogText();
    }

    KfTaskHandle Start(const std::string& sources, bool recover = false) {
        sources_ = sources;
        TaskParams params = test::P2spTaskParams(content_.torrent_path, sources_.c_str(), Target(),
                                                 Target() + ".kfinfo");
        const int32_t result =
            recover ? RecoverAndContinueTask(&params, 1) : CreateAndStartTask(&params);
        EXPECT_EQ(result, KF_OK);
        return params.handle;
    }

    std::string Target() const { return out_ / "file.bin"; }

    TempDir www_;
    TempDir meta_;
    TempDir out_;
    test::EngineSession engine_;
    NginxServer nginx_;
    DownloadContent content_;
    std::string sources_;
};

TEST_F(HttpDownload, OneSourceDeliversTheWholeFile) {
    Serve(3 * 1024 * 1024 + 12345, 16);
    KfTaskHandle task = Start(nginx_.Url("/file.bin"));
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s)) << QueryInfo(task).bytes_done;
    const TaskInfo info = QueryInfo(task);
    EXPECT_EQ(info.status, KF_STATUS_COMPLETE);
    EXPECT_GE(info.http_bytes, static_cast<int64_t>(content_.bytes.size()));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
}

// The same file under several addresses: two nginx instances, a second path on the first, and an
// honest server of our own. The pieces are spread over them and the file comes out right.
TEST_F(HttpDownload, SeveralSourcesShareTheFile) {
    Serve(6 * 1024 * 1024 + 4321, 16);
    ASSERT_TRUE(test::WriteFile(www_ / "copy.bin", content_.bytes));
    NginxServer second;
    ASSERT_TRUE(second.Start(www_.Path())) << second.ErrorLogText();
    test::LyingHttpServer own(content_.bytes, test::LyingHttpServer::Fault::kNone);
    ASSERT_TRUE(own.Start());
    KfTaskHandle task = Start(nginx_.Url("/file.bin") + "\r\n" + second.Url("/file.bin") + "\n" +
                              nginx_.Url("/copy.bin") + "\n" + own.Url("/file.bin"));

    int64_t last_http = 0;
    bool shrank = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const int64_t http = QueryInfo(task).http_bytes;
            shrank = shrank || http < last_http;
            last_http = http;
            return TaskComplete(task);
        },
        60s));
    EXPECT_FALSE(shrank);
    EXPECT_GE(QueryInfo(task).http_bytes, static_cast<int64_t>(content_.bytes.size()));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
    EXPECT_GT(own.BodyBytesSent(), 0) << "every source gets a share of the pieces";
}

// A download limit holds the transfer near its rate; lifting it lets the task finish at full
// speed.
TEST_F(HttpDownload, DownloadLimitIsRespected) {
    constexpr int32_t kLimitKib = 512;
    constexpr int64_t kStretch = 1536 * 1024;
    Serve(8 * 1024 * 1024, 16);
    KfTaskHandle task = Start(nginx_.Url("/file.bin"));
    ASSERT_EQ(SetTaskSpeedLimit(task, 1, kLimitKib), KF_OK);
    // Timed once the limit is surely in force (at the latest from the task's next second on).
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).http_bytes > 0; }, 20s));
    int64_t before = QueryInfo(task).http_bytes;
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).http_bytes > before; }, 20s));
    before = QueryInfo(task).http_bytes;
    const auto from = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).http_bytes >= before + kStretch; }, 20s));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    // 3 s at the limit; the counters move once a second.
    EXPECT_GE(seconds, 2.0);
    EXPECT_FALSE(TaskComplete(task));

    ASSERT_EQ(SetTaskSpeedLimit(task, 1, 0), KF_OK);
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s));
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
}

// Stopped part-way, the task is recovered as after a restart of the application: it completes
// with the right bytes and fetches little more than what the first run had not kept.
TEST_F(HttpDownload, StopThenRecoverFetchesOnlyTheRest) {
    constexpr int64_t kSize = 12 * 1024 * 1024;
    Serve(kSize, 16);
    KfTaskHandle task = Start(nginx_.Url("/file.bin"));
    ASSERT_EQ(SetTaskSpeedLimit(task, 1, 2048), KF_OK);
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).http_bytes >= kSize / 3; }, 30s));
    ASSERT_EQ(StopTask(task, 0), KF_OK);
    const TaskInfo stopped = QueryInfo(task);
    EXPECT_FALSE(TaskComplete(task));
    // The stopped task reports what it keeps, and at least as many HTTP bytes.
    const int64_t kept_at_stop = test::PieceBytes(content_, test::VerifiedPieces(task));
    EXPECT_GT(kept_at_stop, 0);
    EXPECT_EQ(stopped.bytes_done, kept_at_stop);
    EXPECT_GE(stopped.http_bytes, kept_at_stop);
    EXPECT_TRUE(test::FileExists(Target() + ".kfinfo"));
    EXPECT_FALSE(test::FileExists(Target())) << "an unfinished file keeps its temporary name";

    // A new application run: the engine starts afresh and recovers the task.
    ASSERT_EQ(CleanupEngine(), KF_OK);
    ASSERT_EQ(InitEngine(nullptr), KF_OK);
    task = Start(nginx_.Url("/file.bin"), true);
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).bytes_done > 0; }, 20s));
    EXPECT_GE(QueryInfo(task).bytes_done, kept_at_stop) << "nothing kept is lost";
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s));
    const TaskInfo done = QueryInfo(task);
    EXPECT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
    EXPECT_LE(done.http_bytes, kSize - kept_at_stop + 4 * content_.piece_length);
    EXPECT_FALSE(test::FileExists(Target() + ".kfinfo"));
}

// A task tells what it holds and what its metainfo says, keeps the caller's note, and starts
// over from nothing on request.
TEST_F(HttpDownload, TaskReportsItsHoldingsKeepsANoteAndRestartsFromNothing) {
    constexpr int64_t kSize = 6 * 1024 * 1024;
    Serve(kSize, 16);
    KfTaskHandle task = Start(nginx_.Url("/file.bin"));
    ASSERT_EQ(SetTaskSpeedLimit(task, 1, 2048), KF_OK);
    const auto info_ex = [&] {
        TaskInfoEx info{};
        EXPECT_EQ(QueryTaskInfoEx(task, &info), KF_OK);
        return info;
    };
    ASSERT_TRUE(WaitUntil([&] { return info_ex().servers >= 1; }, 20s));
    TaskInfoEx busy = info_ex();
    EXPECT_GE(busy.candidates, 1);
    EXPECT_GE(busy.active_objects, busy.servers);
    EXPECT_EQ(busy.peers, 0);
    ASSERT_EQ(SetTaskSpeedLimit(task, 1, 0), KF_OK);
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s));
    ASSERT_TRUE(WaitUntil([&] { return info_ex().allocated_bytes >= kSize; }, 10s));
    EXPECT_EQ(info_ex().verified_pieces, content_.piece_count());
    EXPECT_EQ(info_ex().info.status, KF_STATUS_COMPLETE);

    TorrentSummary summary;
    ASSERT_EQ(QueryTorrentSummary(task, &summary), KF_OK);
    EXPECT_EQ(summary.total_bytes_low, static_cast<uint32_t>(kSize));
    EXPECT_EQ(summary.piece_count, content_.piece_count());
    EXPECT_STREQ(summary.name, "file.bin");
    EXPECT_EQ(summary.zero, 0);

    ASSERT_EQ(AppendTaskNote(task, "first"), KF_OK);
    ASSERT_EQ(AppendTaskNote(task, "second"), KF_OK);
    EXPECT_EQ(AppendTaskNote(task, std::string(70000, 'x').c_str()), KF_ERR_PARAM);
    EXPECT_EQ(AppendTaskNote(task, nullptr), KF_ERR_PARAM);
    char note[8];
    EXPECT_EQ(ReadTaskNote(task, note, sizeof(note)), 13);
    EXPECT_STREQ(note, "first\r\n");
    EXPECT_EQ(ReadTaskNote(task, nullptr, 0), 13);

    ASSERT_EQ(RestartTask(task), KF_OK);
    EXPECT_LT(QueryInfo(task).progress, 10000) << "the finished download is forgotten";
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s));
    EXPECT_GE(QueryInfo(task).http_bytes, kSize) << "fetched again from nothing";
    ASSERT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
}

}  // namespace
}  // namespace kf
