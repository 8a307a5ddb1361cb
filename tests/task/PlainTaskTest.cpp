// Tasks without a local metainfo file: plain files from servers, and BT tasks whose metainfo is
// fetched from a server first. Driven through the call interface against a real nginx.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "engine/kestrelfetch.h"
#include "engine/task/PlainLayout.h"
#include "support/ContentFiles.h"
#include "support/LyingHttpServer.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace {

using namespace kf::test;
using kf::PlainLayout;

TEST(PlainLayout, PieceLengthGrowsWithTheSizeUpToOneMebibyte) {
    EXPECT_EQ(PlainLayout::PieceLengthFor(1), 16384);
    EXPECT_EQ(PlainLayout::PieceLengthFor(256LL * 16384), 16384);
    EXPECT_EQ(PlainLayout::PieceLengthFor(256LL * 16384 + 1), 32768);
    EXPECT_EQ(PlainLayout::PieceLengthFor(1LL << 40), 1048576);
}

TEST(PlainLayout, ServerFileNamesCannotLeaveTheTargetFolder) {
    EXPECT_EQ(PlainLayout::SafeFileName("setup.exe"), "setup.exe");
    EXPECT_EQ(PlainLayout::SafeFileName("../../etc/passwd"), "passwd");
    EXPECT_EQ(PlainLayout::SafeFileName("..\\..\\boot.ini"), "boot.ini");
    EXPECT_EQ(PlainLayout::SafeFileName(".."), "download.bin");
    EXPECT_EQ(PlainLayout::SafeFileName("dir/"), "download.bin");
    EXPECT_EQ(PlainLayout::SafeFileName(std::string("a\nb\0c", 5)), "abc");
}

TEST(PlainLayout, RecordRoundTripsAndRefusesOtherBytes) {
    PlainLayout layout{123456789, 65536, "/data/game.bin"};
    const std::optional<PlainLayout> back = PlainLayout::Decode(layout.Encode());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->size, layout.size);
    EXPECT_EQ(back->piece_length, layout.piece_length);
    EXPECT_EQ(back->path, layout.path);
    EXPECT_FALSE(PlainLayout::Decode(""));
    EXPECT_FALSE(PlainLayout::Decode("d8:announce3:abc4:infod4:name1:xee"));
    EXPECT_FALSE(PlainLayout::Decode("d5:plaind6:lengthi-5e12:piece lengthi16384e4:path1:xee"));
    EXPECT_FALSE(PlainLayout::Decode("d5:plaind6:lengthi5e12:piece lengthi1000e4:path1:xee"));
}

class PlainTask : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        ASSERT_EQ(RunProgram({"mkdir", "-p", www_.Path() + "/files"}), 0);
        content_ = RandomBytes(20 * 1024 * 1024 + 321, 11);
        ASSERT_TRUE(WriteFile(www_.Path() + "/files/game.bin", content_));
        ASSERT_TRUE(nginx_.Start(www_.Path()));
        ASSERT_EQ(InitEngine(nullptr), KF_OK);
    }
    void TearDown() override { CleanupEngine(); }

    TaskParams Params(const std::string& target, const std::string& sources, uint32_t flags) {
        sources_ = sources;
        TaskParams params;
        std::memset(&params, 0, sizeof(params));
        std::strcpy(params.target_path, target.c_str());
        std::strcpy(params.resume_path, (dir_ / "task.kfinfo").c_str());
        params.sources = sources_.c_str();
        params.flags = flags | KF_FLAG_ACCEPTED;
        return params;
    }

    // Waits (at most about 30 s) until the task reports completion.
    bool WaitComplete(KfTaskHandle task) {
        for (int i = 0; i < 3000; ++i) {
            int32_t complete = 0;
            if (IsTaskComplete(task, &complete) == KF_OK && complete != 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir www_;
    TempDir dir_;
    NginxServer nginx_;
    std::string content_;
    std::string sources_;
};

TEST_F(PlainTask, FileFromSeveralServersIsNamedAfterTheAddressAndComplete) {
    const std::string folder = dir_ / "out";
    ASSERT_EQ(RunProgram({"mkdir", "-p", folder}), 0);
    TaskParams params = Params(folder,
                               nginx_.Url("/files/game.bin") + "\n" + "http://localhost:" +
                                   std::to_string(nginx_.Port()) + "/files/game.bin",
                               0);
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    ASSERT_TRUE(WaitComplete(params.handle));
    TaskInfo info;
    ASSERT_EQ(QueryTaskInfo(params.handle, &info), KF_OK);
    EXPECT_STREQ(info.name, "game.bin");
    EXPECT_EQ(info.bytes_done, static_cast<int64_t>(content_.size()));
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(folder + "/game.bin"), content_);
    EXPECT_GE(info.http_bytes, static_cast<int64_t>(content_.size()));
}

TEST_F(PlainTask, StoppedDownloadResumesWithTheSameLayout) {
    const std::string target = dir_ / "game-copy.bin";
    TaskParams params = Params(target, nginx_.Url("/files/game.bin"), KF_FLAG_FULL_PATH);
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    // 4 MiB/s leaves time to stop it after about a third of the file has arrived.
    ASSERT_EQ(SetTaskSpeedLimit(params.handle, 1, 4096), KF_OK);
    TaskInfo info;
    for (int i = 0; i < 1000; ++i) {
        if (QueryTaskInfo(params.handle, &info) == KF_OK && info.http_bytes >= 6 * 1024 * 1024) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(info.http_bytes, 6 * 1024 * 1024);
    ASSERT_LT(info.http_bytes, static_cast<int64_t>(content_.size()));
    const int64_t first_run = info.http_bytes;
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    ASSERT_TRUE(FileExists(dir_ / "task.kfinfo"));

    TaskParams again = Params(target, nginx_.Url("/files/game.bin"), KF_FLAG_FULL_PATH);
    ASSERT_EQ(RecoverAndContinueTask(&again, 1), KF_OK);
    ASSERT_TRUE(WaitComplete(again.handle));
    ASSERT_EQ(QueryTaskInfo(again.handle, &info), KF_OK);
    ASSERT_EQ(StopTask(again.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(target), content_);
    // The second run fetched what was missing, not the whole file again.
    // What arrived before the stop is kept (up to the blocks in flight at that moment).
    EXPECT_LE(info.http_bytes, static_cast<int64_t>(content_.size()) - first_run + 2 * 1024 * 1024);
}

// The metainfo may come with a length or chunked (as a script serves it).
TEST_F(PlainTask, BtTaskFetchesItsMetainfoFromTheFirstLine) {
    ASSERT_FALSE(
        MakeTorrent(www_.Path() + "/files/game.bin", 16, www_.Path() + "/game.torrent").empty());
    // The tasks stay in the table: the second one names its server otherwise, or it would be
    // refused as a duplicate of the first.
    const std::string by_name = "http://localhost:" + std::to_string(nginx_.Port());
    const std::vector<std::pair<std::string, std::string>> lines = {
        {nginx_.Url("/game.torrent"), nginx_.Url("/files/game.bin")},
        {nginx_.Url("/chunked/game.torrent"), by_name + "/files/game.bin"}};
    for (const auto& [torrent_line, data_line] : lines) {
        const std::string folder = dir_ / ("bt" + std::to_string(torrent_line.size()));
        ASSERT_EQ(RunProgram({"mkdir", "-p", folder}), 0);
        TaskParams params = Params(folder, torrent_line + "\n" + data_line, KF_FLAG_BT);
        ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
        EXPECT_TRUE(WaitComplete(params.handle)) << torrent_line;
        ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
        EXPECT_EQ(ReadWholeFile(folder + "/game.bin"), content_) << torrent_line;
    }
}

TEST_F(PlainTask, BtTaskWhoseFirstLineIsNoMetainfoSaysSoAndKeepsNothing) {
    ASSERT_TRUE(WriteFile(www_.Path() + "/notes.html", "<html><body>moved</body></html>"));
    const std::string folder = dir_ / "bt";
    ASSERT_EQ(RunProgram({"mkdir", "-p", folder}), 0);
    TaskParams params = Params(
        folder, nginx_.Url("/notes.html") + "\n" + nginx_.Url("/files/game.bin"), KF_FLAG_BT);
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    TaskInfo info;
    for (int i = 0; i < 1500; ++i) {
        if (QueryTaskInfo(params.handle, &info) == KF_OK && info.status != 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(info.status, KF_STATUS_TORRENT_UNREADABLE);
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(dir_ / "task.kfinfo").find("<html>"), std::string::npos)
        << "the page was kept as the task's metainfo";
}

// A server that takes the connection and never answers: the task waits for it without spinning.
TEST_F(PlainTask, WaitingForAFirstReplyCostsNoProcessorTime) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 4), 0);  // the kernel completes connects that nobody accepts
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/files/game.bin";
    TaskParams params = Params(dir_ / "silent.bin", url, KF_FLAG_FULL_PATH);
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    const auto cpu_seconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the start-up work
    const double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the measured span itself
    const double spent = cpu_seconds() - before;
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    close(listener);
    EXPECT_LT(spent, 0.6) << "the task loop spun while its only peer waited for a reply";
}

}  // namespace

// Without metainfo nothing checks a stated size: a server that states a wrong one, beside two
// that agree, must neither truncate nor stall the file.
TEST_F(PlainTask, TwoServersThatAgreeOnTheSizeOutvoteOneThatLies) {
    using kf::test::LyingHttpServer;
    for (const LyingHttpServer::Fault fault :
         {LyingHttpServer::Fault::kWrongLength, LyingHttpServer::Fault::kWrongTotal}) {
        SCOPED_TRACE(static_cast<int>(fault));
        LyingHttpServer liar(content_, fault);
        LyingHttpServer honest(content_, LyingHttpServer::Fault::kNone);
        ASSERT_TRUE(liar.Start());
        ASSERT_TRUE(honest.Start());
        const std::string target = dir_ / "voted.bin";
        TaskParams params =
            Params(target,
                   liar.Url("/files/game.bin") + "\n" + nginx_.Url("/files/game.bin") + "\n" +
                       honest.Url("/files/game.bin"),
                   KF_FLAG_FULL_PATH);
        ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
        ASSERT_TRUE(WaitComplete(params.handle));
        TaskInfo info;
        ASSERT_EQ(QueryTaskInfo(params.handle, &info), KF_OK);
        EXPECT_EQ(info.bytes_done, static_cast<int64_t>(content_.size()));
        ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
        EXPECT_TRUE(ReadWholeFile(target) == content_) << "the file differs";
        ASSERT_EQ(RunProgram({"rm", "-f", target, dir_ / "task.kfinfo"}), 0);
        // A stopped task stays in the engine's table, where it would make the next one a
        // duplicate.
        ASSERT_EQ(CleanupEngine(), KF_OK);
        ASSERT_EQ(InitEngine(nullptr), KF_OK);
    }
}
