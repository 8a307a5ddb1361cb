// Tasks whose content is (partly) on disk already, driven through the call interface.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "engine/kestrelfetch.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace {

using namespace kf::test;

class TaskContent : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveMktorrent()) {
            GTEST_SKIP() << "mktorrent is not installed";
        }
        ASSERT_EQ(InitEngine(nullptr), KF_OK);
        content_ = RandomBytes(300 * 1024 + 77, 7);  // 10 pieces of 32 KiB, the last one short
        const std::string made = dir_ / "made";
        ASSERT_EQ(RunProgram({"mkdir", "-p", made}), 0);
        ASSERT_TRUE(WriteFile(made + "/game.bin", content_));
        ASSERT_FALSE(MakeTorrent(made + "/game.bin", 15, dir_ / "game.torrent").empty());
    }
    void TearDown() override { CleanupEngine(); }

    TaskParams Params(const std::string& folder) {
        TaskParams params;
        std::memset(&params, 0, sizeof(params));
        const std::string location = "file://" + (dir_ / "game.torrent");
        std::strcpy(params.torrent_location, location.c_str());
        std::strcpy(params.target_path, folder.c_str());
        std::strcpy(params.resume_path, (dir_ / "game.kfinfo").c_str());
        params.flags = KF_FLAG_ACCEPTED | KF_FLAG_P2SP;
        return params;
    }

    // Polls until `done` holds, at most about ten seconds.
    template <class Condition>
    bool Eventually(Condition done) {
        for (int i = 0; i < 1000; ++i) {
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir dir_;
    std::string content_;
};

TEST_F(TaskContent, DataAlreadyOnDiskIsCheckedCompletedAndRenamed) {
    const std::string folder = dir_ / "target";
    ASSERT_EQ(RunProgram({"mkdir", "-p", folder}), 0);
    ASSERT_TRUE(WriteFile(folder + "/game.bin.kftmp", content_));
    TaskParams params = Params(folder);
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);

    int32_t complete = 0;
    ASSERT_TRUE(
        Eventually([&] { return IsTaskComplete(params.handle, &complete) == KF_OK && complete; }));
    TaskInfo info;
    ASSERT_EQ(QueryTaskInfo(params.handle, &info), KF_OK);
    EXPECT_EQ(info.status, KF_STATUS_COMPLETE);
    EXPECT_EQ(info.progress, 10000);
    EXPECT_STREQ(info.name, "game.bin");
    EXPECT_EQ(info.total_kib, static_cast<int32_t>(content_.size() / 1024));
    EXPECT_EQ(info.bytes_done, static_cast<int64_t>(content_.size()));
    EXPECT_EQ(GetTaskBitfieldSize(params.handle), 2);
    uint8_t bits[2] = {};
    EXPECT_EQ(ReadTaskBitfield(params.handle, bits, 2), 10);
    EXPECT_EQ(bits[0], 0xFF);
    EXPECT_EQ(bits[1], 0xC0);

    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(folder + "/game.bin"), content_);
    EXPECT_FALSE(FileExists(folder + "/game.bin.kftmp"));
    EXPECT_FALSE(FileExists(dir_ / "game.kfinfo"));  // a completed task keeps no resume file
}

TEST_F(TaskContent, PartialDataIsKeptInTheResumeFileAcrossRuns) {
    const std::string folder = dir_ / "partial";
    ASSERT_EQ(RunProgram({"mkdir", "-p", folder}), 0);
    // The first half is right, the rest is damaged.
    std::string damaged = content_;
    for (size_t i = damaged.size() / 2; i < damaged.size(); ++i) {
        damaged[i] = static_cast<char>(~damaged[i]);
    }
    ASSERT_TRUE(WriteFile(folder + "/game.bin.kftmp", damaged));
    TaskParams params = Params(folder);
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    TaskInfo info;
    ASSERT_TRUE(Eventually([&] {
        return QueryTaskInfo(params.handle, &info) == KF_OK && info.total_kib > 0 &&
               info.bytes_done > 0;
    }));
    EXPECT_EQ(info.bytes_done, 4 * 32 * 1024);  // pieces 0..3 lie wholly in the good half
    EXPECT_LT(info.progress, 10000);
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_TRUE(FileExists(dir_ / "game.kfinfo"));

    // A recovered task starts from the resume file with the same pieces.
    TaskParams again = Params(folder);
    ASSERT_EQ(RecoverAndContinueTask(&again, 1), KF_OK);
    ASSERT_TRUE(Eventually(
        [&] { return QueryTaskInfo(again.handle, &info) == KF_OK && info.bytes_done > 0; }));
    EXPECT_EQ(info.bytes_done, 4 * 32 * 1024);
}

}  // namespace
