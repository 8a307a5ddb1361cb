// Whole tasks through the call interface with FTP sources: a real FTP server (pyftpdlib) alone,
// and together with an HTTP server (nginx) on the same task.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "engine/kestrelfetch.h"
#include "support/ContentFiles.h"
#include "support/FtpServer.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace {

using namespace kf::test;

constexpr size_t kSize = 3 * 1024 * 1024 + 4321;  // 49 pieces of 64 KiB, the last one short

class FtpTask : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveMktorrent() || !FtpServer::Available()) {
            GTEST_SKIP() << "mktorrent or pyftpdlib is not installed";
        }
        content_ = RandomBytes(kSize, 11);
        const std::string served = dir_ / "served";
        ASSERT_EQ(RunProgram({"mkdir", "-p", served, dir_ / "target"}), 0);
        ASSERT_TRUE(WriteFile(served + "/game.bin", content_));
        ASSERT_FALSE(MakeTorrent(served + "/game.bin", 16, dir_ / "game.torrent").empty());
        ASSERT_TRUE(ftp_.Start(served)) << ftp_.LogText();
        ASSERT_EQ(InitEngine(nullptr), KF_OK);
    }
    void TearDown() override { CleanupEngine(); }

    TaskParams Params() {
        TaskParams params;
        std::memset(&params, 0, sizeof(params));
        const std::string location = "file://" + (dir_ / "game.torrent");
        std::strcpy(params.torrent_location, location.c_str());
        std::strcpy(params.target_path, (dir_ / "target").c_str());
        std::strcpy(params.resume_path, (dir_ / "game.kfinfo").c_str());
        params.sources = sources_.c_str();
        params.flags = KF_FLAG_ACCEPTED | KF_FLAG_P2SP;
        return params;
    }

    // Waits until the task reports completion, at most 60 s.
    bool WaitComplete(KfTaskHandle handle) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            int32_t complete = 0;
            if (IsTaskComplete(handle, &complete) == KF_OK && complete != 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    TempDir dir_;
    FtpServer ftp_;
    std::string content_;
    std::string sources_;
};

TEST_F(FtpTask, DownloadsFromAnFtpSourceAlone) {
    sources_ = ftp_.Url("/game.bin");
    TaskParams params = Params();
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    ASSERT_TRUE(WaitComplete(params.handle)) << ftp_.LogText();
    TaskInfo info;
    ASSERT_EQ(QueryTaskInfo(params.handle, &info), KF_OK);
    EXPECT_EQ(info.status, KF_STATUS_COMPLETE);
    EXPECT_EQ(info.bytes_done, static_cast<int64_t>(kSize));
    EXPECT_EQ(info.http_bytes, 0);  // FTP bytes count as neither HTTP nor BT
    EXPECT_EQ(info.bt_bytes, 0);
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(dir_ / "target/game.bin"), content_);
    EXPECT_NE(ftp_.LogText().find("<- retr /game.bin"), std::string::npos);
}

TEST_F(FtpTask, FtpAndHttpSourcesShareOneTask) {
    if (!NginxServer::Available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(dir_ / "served")) << nginx.ErrorLogText();
    sources_ = ftp_.Url("/game.bin") + "\n" + nginx.Url("/game.bin");
    TaskParams params = Params();
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    ASSERT_TRUE(WaitComplete(params.handle)) << ftp_.LogText() << nginx.ErrorLogText();
    TaskInfo info;
    ASSERT_EQ(QueryTaskInfo(params.handle, &info), KF_OK);
    EXPECT_EQ(info.bytes_done, static_cast<int64_t>(kSize));
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(dir_ / "target/game.bin"), content_);
    // Both kinds of server were asked for the file.
    EXPECT_NE(ftp_.LogText().find("<- retr /game.bin"), std::string::npos) << ftp_.LogText();
    EXPECT_GT(info.http_bytes, 0);
    EXPECT_GT(info.bytes_done - info.http_bytes - info.bt_bytes, 0) << "nothing came by FTP";
}

TEST_F(FtpTask, FtpSourceWithWrongSizeLeavesTheHttpSourceToFinish) {
    if (!NginxServer::Available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    // The FTP server holds another file under the same name: its SIZE differs.
    ASSERT_EQ(RunProgram({"mkdir", "-p", dir_ / "other"}), 0);
    ASSERT_TRUE(WriteFile(dir_ / "other/game.bin", content_ + "tail"));
    FtpServer other;
    ASSERT_TRUE(other.Start(dir_ / "other")) << other.LogText();
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(dir_ / "served")) << nginx.ErrorLogText();
    sources_ = other.Url("/game.bin") + "\n" + nginx.Url("/game.bin");
    TaskParams params = Params();
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    ASSERT_TRUE(WaitComplete(params.handle)) << other.LogText();
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(dir_ / "target/game.bin"), content_);
    EXPECT_EQ(other.LogText().find("<- retr"), std::string::npos) << "no transfer from it";
}

}  // namespace
