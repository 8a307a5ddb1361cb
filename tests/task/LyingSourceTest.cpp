// Sources that lie: each serves the real file with one fault. Beside an honest source (nginx) the
// task still completes the right file; alone it never keeps a wrong byte and either routes around
// the fault or keeps waiting with nothing to report (a P2SP task waits for its swarm).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/EventSink.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LyingHttpServer.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::LyingHttpServer;
using test::NginxServer;
using test::QueryInfo;
using test::TaskComplete;
using test::TempDir;
using test::WaitUntil;
using Fault = LyingHttpServer::Fault;

// The events the engine submits while it is installed.
struct EventLog final : EventSink {
    void Submit(std::string_view code, std::string_view info) override {
        std::lock_guard hold(mutex);
        events.push_back(std::string(code) + std::string(info));
    }
    std::vector<std::string> Events() {
        std::lock_guard hold(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

constexpr int64_t kSize = 2 * 1024 * 1024 + 5000;

std::string NameOfParam(const ::testing::TestParamInfo<Fault>& info) {
    return test::FaultName(info.param);
}

// Whether a source with this fault can deliver the whole file by itself.
bool CanDeliverAlone(Fault fault) {
    return fault == Fault::kNone || fault == Fault::kIgnoreRange || fault == Fault::kCutShort;
}

class LyingSource : public ::testing::TestWithParam<Fault> {
  protected:
    void SetUp() override {
        if (!NginxServer::Available() || !test::HaveMktorrent()) {
            GTEST_SKIP() << "needs nginx and mktorrent (scripts/install-deps)";
        }
        ASSERT_TRUE(engine_.ok());
        content_ =
            test::MakeDownloadContent(www_ / "file.bin", kSize, 16, 99, meta_ / "file.torrent");
        ASSERT_FALSE(content_.torrent_path.empty());
    }

    KfTaskHandle Start(const std::string& sources, bool recover = false) {
        sources_ = sources;
        TaskParams params = test::P2spTaskParams(content_.torrent_path, sources_.c_str(), Target(),
                                                 Target() + ".kfinfo");
        EXPECT_EQ(recover ? RecoverAndContinueTask(&params, 1) : CreateAndStartTask(&params),
                  KF_OK);
        return params.handle;
    }

    std::string Target() const { return out_ / "file.bin"; }

    // The file as it stands: under its final name once complete, else its temporary one.
    std::string FileBytes() const {
        return test::FileExists(Target()) ? test::ReadWholeFile(Target())
                                          : test::ReadWholeFile(Target() + ".kftmp");
    }

    bool FileIsRight() const {
        return test::Sha1Hex(test::ReadWholeFile(Target())) == test::Sha1Hex(content_.bytes);
    }

    // Stops the task (which writes the pieces it holds) and checks that every piece it then
    // reports verified has the right bytes on disk. Answers how many it kept.
    int64_t StopAndCheckKeptPieces(KfTaskHandle task) {
        EXPECT_EQ(StopTask(task, 0), KF_OK);
        const std::vector<bool> kept = test::VerifiedPieces(task);
        EXPECT_EQ(kept.size(), static_cast<size_t>(content_.piece_count()));
        EXPECT_EQ(test::WrongPieces(FileBytes(), content_, kept), std::vector<int64_t>{});
        return std::count(kept.begin(), kept.end(), true);
    }

    TempDir www_;
    TempDir meta_;
    TempDir out_;
    test::EngineSession engine_;
    test::DownloadContent content_;
    std::string sources_;
};

TEST_P(LyingSource, BesideAnHonestSourceTheFileIsRight) {
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_.Path())) << nginx.ErrorLogText();
    LyingHttpServer liar(content_.bytes, GetParam());
    ASSERT_TRUE(liar.Start());
    KfTaskHandle task = Start(liar.Url("/file.bin") + "\n" + nginx.Url("/file.bin"));
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s));
    EXPECT_EQ(QueryInfo(task).status, KF_STATUS_COMPLETE);
    ASSERT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_TRUE(FileIsRight());
}

// From a fresh start with the liar as the only source: a liar that can deliver the file does;
// any other is retried but nothing of it is kept, nothing is reported complete or failed.
TEST_P(LyingSource, AloneItDeliversOrNothingIsKept) {
    LyingHttpServer liar(content_.bytes, GetParam());
    ASSERT_TRUE(liar.Start());
    KfTaskHandle task = Start(liar.Url("/file.bin"));
    if (CanDeliverAlone(GetParam())) {
        ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 90s))
            << QueryInfo(task).http_bytes;
        ASSERT_EQ(StopTask(task, 0), KF_OK);
        EXPECT_TRUE(FileIsRight());
        return;
    }
    // The engine has seen the lie and tried again (a stall: after its 30 s time-out).
    ASSERT_TRUE(WaitUntil([&] { return liar.RequestCount() >= 2; }, 60s));
    const TaskInfo info = QueryInfo(task);
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.bytes_done, 0);
    EXPECT_FALSE(TaskComplete(task));
    StopAndCheckKeptPieces(task);
    EXPECT_FALSE(test::FileExists(Target()));
    EXPECT_TRUE(test::FileExists(Target() + ".kfinfo"));
}

// Faults that only show when the liar is asked for a range.
class RangedLie : public LyingSource {};

// The liar lies only to ranged requests and comes in when a third of the file is already kept from
// an honest source: what was kept stays, no wrong piece is added, and with the honest source back
// the file completes.
TEST_P(RangedLie, ResumedWithTheLiarKeepsWhatWasRight) {
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_.Path())) << nginx.ErrorLogText();
    KfTaskHandle task = Start(nginx.Url("/file.bin"));
    ASSERT_EQ(SetTaskSpeedLimit(task, 1, 512), KF_OK);
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).http_bytes >= kSize / 3; }, 30s));
    ASSERT_EQ(StopTask(task, 0), KF_OK);

    LyingHttpServer liar(content_.bytes, GetParam());
    liar.LieOnlyToRangedRequests(true);
    ASSERT_TRUE(liar.Start());
    task = Start(liar.Url("/file.bin"), true);
    ASSERT_TRUE(WaitUntil([&] { return QueryInfo(task).bytes_done > 0; }, 20s));
    const int64_t kept = QueryInfo(task).bytes_done;
    if (CanDeliverAlone(GetParam())) {
        ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s))
            << QueryInfo(task).http_bytes;
        ASSERT_EQ(StopTask(task, 0), KF_OK);
        EXPECT_TRUE(FileIsRight());
        return;
    }
    // Asked with a range, and asked again after the lie.
    ASSERT_TRUE(WaitUntil([&] { return liar.RequestCount() >= 3; }, 60s));
    EXPECT_FALSE(TaskComplete(task));
    EXPECT_GE(StopAndCheckKeptPieces(task), kept / content_.piece_length);

    task = Start(liar.Url("/file.bin") + "\n" + nginx.Url("/file.bin"), true);
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s));
    ASSERT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_TRUE(FileIsRight());
}

INSTANTIATE_TEST_SUITE_P(Faults, LyingSource,
                         ::testing::Values(Fault::kNone, Fault::kIgnoreRange, Fault::kShiftedRange,
                                           Fault::kWrongTotal, Fault::kWrongLength,
                                           Fault::kCutShort, Fault::kGarbage, Fault::kRedirectLoop,
                                           Fault::kNotFound, Fault::kUnavailable,
                                           Fault::kStallAfterHeader),
                         NameOfParam);

INSTANTIATE_TEST_SUITE_P(Faults, RangedLie,
                         ::testing::Values(Fault::kIgnoreRange, Fault::kShiftedRange,
                                           Fault::kWrongTotal, Fault::kWrongLength,
                                           Fault::kCutShort, Fault::kGarbage),
                         NameOfParam);

// A source that spoils one piece in each half of the file (so whichever range it holds, it meets
// one): alone it keeps only right pieces and the task waits; recovered with an honest source
// beside it, the task fetches the spoiled pieces there and completes.
TEST_F(LyingSource, SpoiledPiecesAreFetchedFromAnotherSource) {
    LyingHttpServer liar(content_.bytes, Fault::kGarbage);
    liar.SetGarbage(16 * 65536, 5 * 65536 + 100, 1);  // pieces 5 and 21
    ASSERT_TRUE(liar.Start());
    const auto log = std::make_shared<EventLog>();
    InstallEventSink(log);
    KfTaskHandle task = Start(liar.Url("/file.bin"));
    ASSERT_TRUE(WaitUntil([&] { return liar.RequestCount() >= 3; }, 30s));
    EXPECT_FALSE(TaskComplete(task));
    EXPECT_EQ(QueryInfo(task).status, 0);
    StopAndCheckKeptPieces(task);
    InstallEventSink(nullptr);
    // Each spoiled piece, wholly from the server, is reported with the server's address.
    const std::string piece5 = EventMember("Corruptpakid", "5") +
                               EventMember("Url", liar.Url("/file.bin")) +
                               EventMember("Filename", "file.bin");
    const std::vector<std::string> events = log->Events();
    EXPECT_NE(std::find(events.begin(), events.end(), "11500101" + piece5), events.end())
        << (events.empty() ? "no event" : events[0]);
    const std::vector<bool> kept = test::VerifiedPieces(task);
    ASSERT_EQ(kept.size(), static_cast<size_t>(content_.piece_count()));
    EXPECT_FALSE(kept[5]);
    EXPECT_FALSE(kept[21]);

    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_.Path())) << nginx.ErrorLogText();
    task = Start(liar.Url("/file.bin") + "\n" + nginx.Url("/file.bin"), true);
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s)) << QueryInfo(task).http_bytes;
    ASSERT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_TRUE(FileIsRight());
}

// Every kind of liar at once beside one honest server: the scheduler routes around all of them.
TEST_F(LyingSource, AllLiarsAtOnceBesideAnHonestSource) {
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_.Path())) << nginx.ErrorLogText();
    std::vector<std::unique_ptr<LyingHttpServer>> liars;
    std::string sources;
    for (const Fault fault :
         {Fault::kIgnoreRange, Fault::kShiftedRange, Fault::kWrongTotal, Fault::kWrongLength,
          Fault::kCutShort, Fault::kGarbage, Fault::kRedirectLoop, Fault::kNotFound,
          Fault::kUnavailable, Fault::kStallAfterHeader}) {
        liars.push_back(std::make_unique<LyingHttpServer>(content_.bytes, fault));
        ASSERT_TRUE(liars.back()->Start());
        sources += liars.back()->Url("/file.bin") + "\n";
    }
    KfTaskHandle task = Start(sources + nginx.Url("/file.bin"));
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s)) << QueryInfo(task).http_bytes;
    ASSERT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_TRUE(FileIsRight());
}

// A redirect to an honest server is followed: the target becomes a source of its own.
TEST_F(LyingSource, RedirectToAnotherServerIsFollowed) {
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www_.Path())) << nginx.ErrorLogText();
    LyingHttpServer redirector(content_.bytes, Fault::kRedirectLoop);
    redirector.SetRedirectTarget(nginx.Url("/file.bin"));
    ASSERT_TRUE(redirector.Start());
    KfTaskHandle task = Start(redirector.Url("/old/file.bin"));
    ASSERT_TRUE(WaitUntil([&] { return TaskComplete(task); }, 60s)) << QueryInfo(task).http_bytes;
    ASSERT_EQ(StopTask(task, 0), KF_OK);
    EXPECT_TRUE(FileIsRight());
}

}  // namespace
}  // namespace kf
