// Drives the engine only through its chief header, as an application would.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "engine/kestrelfetch.h"
#include "support/TempDir.h"

namespace {

using kf::test::TempDir;

TaskParams MakeParams(const std::string& target, const char* sources, uint32_t flags) {
    TaskParams params;
    std::memset(&params, 0, sizeof(params));
    std::strncpy(params.target_path, target.c_str(), sizeof(params.target_path) - 1);
    std::strncpy(params.resume_path, (target + ".kfinfo").c_str(), sizeof(params.resume_path) - 1);
    params.sources = sources;
    params.flags = flags | KF_FLAG_ACCEPTED;
    return params;
}

// Polls the task until its published status is `status` or about five seconds have passed.
bool WaitForStatus(KfTaskHandle task, int32_t status) {
    for (int i = 0; i < 500; ++i) {
        TaskInfo info;
        if (QueryTaskInfo(task, &info) == KF_OK && info.status == status) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class EngineCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        CreateEngineLog();
        ASSERT_EQ(InitEngine(dir_.Path().c_str()), KF_OK);
    }
    void TearDown() override {
        EXPECT_EQ(CleanupEngine(), KF_OK);
        ReleaseEngineLog();
    }

    KfTaskHandle Create(TaskParams params) {
        EXPECT_EQ(CreateAndStartTask(&params), KF_OK);
        return params.handle;
    }

    TempDir dir_;
};

TEST_F(EngineCalls, UnknownHandlesAreRefusedByEveryCall) {
    TaskParams params = MakeParams(dir_ / "a.bin", "http://127.0.0.1:9/a", KF_FLAG_FULL_PATH);
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);

    int never_returned = 0;
    for (KfTaskHandle handle :
         {static_cast<KfTaskHandle>(nullptr), static_cast<KfTaskHandle>(&never_returned)}) {
        TaskInfo info;
        int32_t complete = 0;
        uint8_t bits[4];
        EXPECT_EQ(StopTask(handle, 0), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(StopTask(handle, 1), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(StartTask(handle), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(QueryTaskInfo(handle, &info), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(IsTaskComplete(handle, &complete), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(SetTaskSpeedLimit(handle, 1, 10), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(SetTaskConnectionLimits(handle, 1, 1), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(ClearMirrorSources(handle), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(AddMirrorSources(handle, "http://127.0.0.1/", ""), KF_ERR_UNKNOWN_TASK);
        EXPECT_EQ(ReadTaskBitfield(handle, bits, sizeof(bits)), KF_ERR_BITFIELD);
        EXPECT_EQ(GetTaskBitfieldSize(handle), KF_ERR_BITFIELD);
    }

    // A destroyed task's handle is unknown as well.
    ASSERT_EQ(CleanupEngine(), KF_OK);
    TaskInfo info;
    EXPECT_EQ(QueryTaskInfo(params.handle, &info), KF_ERR_UNKNOWN_TASK);
    EXPECT_EQ(StartTask(params.handle), KF_ERR_UNKNOWN_TASK);
    EXPECT_EQ(ReadTaskBitfield(params.handle, nullptr, 0), KF_ERR_BITFIELD);
}

TEST_F(EngineCalls, CreationRefusesNullRecordAndDuplicates) {
    EXPECT_EQ(CreateAndStartTask(nullptr), KF_ERR_PARAM);
    EXPECT_EQ(RecoverAndContinueTask(nullptr, 1), KF_ERR_PARAM);

    TaskParams first = MakeParams(dir_ / "same.bin", "http://127.0.0.1:9/x", KF_FLAG_FULL_PATH);
    ASSERT_EQ(CreateAndStartTask(&first), KF_OK);

    TaskParams same_path =
        MakeParams(dir_ / "same.bin", "http://127.0.0.1:9/other", KF_FLAG_FULL_PATH);
    EXPECT_EQ(CreateAndStartTask(&same_path), KF_ERR_DUPLICATE);
    EXPECT_EQ(same_path.handle, nullptr);
    EXPECT_EQ(RecoverAndContinueTask(&same_path, 0), KF_ERR_DUPLICATE);
    // Recovery with the force flag creates it anyway, next to the stopped original.
    ASSERT_EQ(RecoverAndContinueTask(&same_path, 1), KF_OK);
    EXPECT_NE(same_path.handle, first.handle);

    TaskInfo info;
    EXPECT_EQ(QueryTaskInfo(first.handle, &info), KF_OK);
    EXPECT_EQ(QueryTaskInfo(same_path.handle, &info), KF_OK);
}

TEST_F(EngineCalls, DuplicateBySwarmOrSharedSourceLines) {
    const std::string torrent = "file://" + (dir_ / "t.torrent");
    TaskParams swarm = MakeParams(dir_ / "p1", nullptr, KF_FLAG_P2SP);
    std::strcpy(swarm.torrent_location, torrent.c_str());
    ASSERT_EQ(CreateAndStartTask(&swarm), KF_OK);
    TaskParams same_swarm = MakeParams(dir_ / "p2", nullptr, KF_FLAG_P2SP);
    std::strcpy(same_swarm.torrent_location, torrent.c_str());
    EXPECT_EQ(CreateAndStartTask(&same_swarm), KF_ERR_DUPLICATE);

    TaskParams http = MakeParams(dir_ / "h1", "http://a/1\nhttp://b/1\nhttp://c/1", 0);
    ASSERT_EQ(CreateAndStartTask(&http), KF_OK);
    // Three lines, one shared: 3 / 1 > 2, not a duplicate.
    TaskParams one_of_three = MakeParams(dir_ / "h2", "http://a/1\nhttp://x/1\nhttp://y/1", 0);
    EXPECT_EQ(CreateAndStartTask(&one_of_three), KF_OK);
    // Two lines, one shared: 2 / 1 <= 2, a duplicate.
    TaskParams one_of_two = MakeParams(dir_ / "h3", "http://b/1\r\nhttp://z/1", 0);
    EXPECT_EQ(CreateAndStartTask(&one_of_two), KF_ERR_DUPLICATE);
    // Empty lines are never sources, so they never make a duplicate.
    TaskParams blank = MakeParams(dir_ / "h4", "\n\nhttp://q/1\n\n", 0);
    ASSERT_EQ(CreateAndStartTask(&blank), KF_OK);
    TaskParams other_blank = MakeParams(dir_ / "h5", "\n\nhttp://r/1", 0);
    EXPECT_EQ(CreateAndStartTask(&other_blank), KF_OK);
}

TEST_F(EngineCalls, QueryBeforeAnyContentReportsZeroProgress) {
    KfTaskHandle task =
        Create(MakeParams(dir_ / "q.bin", "http://127.0.0.1:9/q", KF_FLAG_FULL_PATH));
    TaskInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    ASSERT_EQ(QueryTaskInfo(task, &info), KF_OK);
    EXPECT_EQ(info.progress, 0);
    EXPECT_EQ(info.total_kib, 0);
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.name[0], '\0');
    EXPECT_EQ(QueryTaskInfo(task, nullptr), KF_ERR_PARAM);
    int32_t complete = -1;
    ASSERT_EQ(IsTaskComplete(task, &complete), KF_OK);
    EXPECT_EQ(complete, 0);
    EXPECT_EQ(GetTaskBitfieldSize(task), 0);
    uint8_t bits[8];
    EXPECT_EQ(ReadTaskBitfield(task, bits, sizeof(bits)), 0);
    EXPECT_EQ(ReadTaskBitfield(task, nullptr, 8), 0);
}

TEST_F(EngineCalls, LimitsAndMirrorsAreAccepted) {
    KfTaskHandle task =
        Create(MakeParams(dir_ / "l.bin", "http://127.0.0.1:9/l", KF_FLAG_FULL_PATH));
    EXPECT_EQ(SetTaskSpeedLimit(task, 1, 40000), KF_OK);
    EXPECT_EQ(SetTaskSpeedLimit(task, 0, 100), KF_OK);
    EXPECT_EQ(SetTaskSpeedLimit(task, 2, 100), KF_ERR_PARAM);
    EXPECT_EQ(SetTaskSpeedLimit(task, -1, 100), KF_ERR_PARAM);
    EXPECT_EQ(SetTaskConnectionLimits(task, 8, 80), KF_OK);
    EXPECT_EQ(ClearMirrorSources(task), KF_OK);
    EXPECT_EQ(AddMirrorSources(task, "http://127.0.0.1:1/m\nhttp://127.0.0.1:2/m", "h1\nh2"),
              KF_OK);
    EXPECT_EQ(AddMirrorSources(task, nullptr, nullptr), KF_OK);
}

TEST_F(EngineCalls, StopTasksStopsLiveTasksAndReportsUnknownOnes) {
    KfTaskHandle a = Create(MakeParams(dir_ / "a", "http://127.0.0.1:9/a", KF_FLAG_FULL_PATH));
    KfTaskHandle b = Create(MakeParams(dir_ / "b", "http://127.0.0.1:9/b", KF_FLAG_FULL_PATH));
    int bogus = 0;
    const KfTaskHandle handles[] = {a, &bogus, b, nullptr};
    int32_t results[4] = {7, 7, 7, 7};
    EXPECT_EQ(StopTasks(handles, 4, 0, results), KF_OK);
    EXPECT_EQ(results[0], KF_OK);
    EXPECT_EQ(results[1], KF_ERR_UNKNOWN_TASK);
    EXPECT_EQ(results[2], KF_OK);
    EXPECT_EQ(results[3], KF_ERR_UNKNOWN_TASK);
    // A null result array is allowed; stopping stopped tasks returns at once.
    EXPECT_EQ(StopTasks(handles, 4, 1, nullptr), KF_OK);
    EXPECT_EQ(StopTask(a, 0), KF_OK);
    // Stopped tasks can be started again.
    EXPECT_EQ(StartTask(a), KF_OK);
    EXPECT_EQ(StartTask(b), KF_OK);
    EXPECT_EQ(StopTask(a, 1), KF_OK);
}

TEST_F(EngineCalls, MissingTorrentFileEndsWithStatusAndStaysRestartable) {
    TaskParams params = MakeParams(dir_ / "m", nullptr, KF_FLAG_P2SP);
    const std::string location = "FILE://" + (dir_ / "missing.torrent");
    std::strcpy(params.torrent_location, location.c_str());
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    EXPECT_TRUE(WaitForStatus(params.handle, KF_STATUS_TORRENT_UNREADABLE));

    // A file that is not bencoded is just as unreadable.
    ASSERT_TRUE(kf::test::WriteFile(dir_ / "missing.torrent", "xx not a torrent"));
    EXPECT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(StartTask(params.handle), KF_OK);
    EXPECT_TRUE(WaitForStatus(params.handle, KF_STATUS_TORRENT_UNREADABLE));
    EXPECT_EQ(StopTask(params.handle, 0), KF_OK);
}

TEST(EngineIpFilter, AnswersTheRangesOrRefusesAFileItCannotRead) {
    TempDir dir;
    const std::string path = dir / "filter.dat";
    ASSERT_TRUE(kf::test::WriteFile(path,
                                    "# blocked\n10.0.0.0-10.255.255.255 1 a\n"
                                    "10.1.0.0-10.1.0.9 1 inside the first\n"
                                    "192.168.0.0-192.168.0.255 200 not blocked\n"));
    EXPECT_EQ(SetIpFilterFile(path.c_str()), 2);
    EXPECT_EQ(SetIpFilterFile((dir / "missing.dat").c_str()), KF_ERR_PARAM);
    EXPECT_EQ(SetIpFilterFile(dir.Path().c_str()), KF_ERR_PARAM);
    EXPECT_EQ(SetIpFilterFile(""), 0);
    EXPECT_EQ(SetIpFilterFile(nullptr), 0);
}

TEST(EngineHelpers, ParseIntegersLikeTheEngineReaders) {
    EXPECT_EQ(ParseInt64(nullptr), 0);
    EXPECT_EQ(ParseInt64("  \t-123xyz"), -123);
    EXPECT_EQ(ParseInt64("+77"), 77);
    EXPECT_EQ(ParseInt64("0x7fFFffFFffFFffFF"), INT64_MAX);
    EXPECT_EQ(ParseInt64("0X10"), 16);
    EXPECT_EQ(ParseInt64("0xg"), 0);
    EXPECT_EQ(ParseInt64(" 12 34"), 12);
    EXPECT_EQ(ParseInt64("\n5"), 0);  // only blanks and tabs are skipped
    EXPECT_EQ(ParseInt32("2147483647"), INT32_MAX);
    EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
    // At most 12 decimal digits are read for 32 bits: the 13th is ignored.
    EXPECT_EQ(ParseInt32("0000000000017"), 1);
    EXPECT_EQ(ParseInt64("000000000000000000000000000000017"), 1);
}

TEST(EngineHelpers, DiskAndFileSizes) {
    TempDir dir;
    EXPECT_EQ(GetDiskFreeBytes(nullptr), 0);
    EXPECT_EQ(GetDiskFreeBytes("relative"), 0);
    EXPECT_GT(GetDiskFreeBytes(dir.Path().c_str()), 0);
    EXPECT_EQ(GetDiskFreeBytes((dir / "no/such/folder").c_str()), 0);

    EXPECT_EQ(GetFileAllocatedSize((dir / "absent").c_str()), 0);
    EXPECT_EQ(GetFileAllocatedSize(nullptr), 0);
    const std::string block(64 * 1024, 'k');
    ASSERT_TRUE(kf::test::WriteFile(dir / "part.bin.kftmp", block));
    // A download still under its temporary name is measured there.
    EXPECT_GE(GetFileAllocatedSize((dir / "part.bin").c_str()), 64 * 1024);
    ASSERT_TRUE(kf::test::WriteFile(dir / "plain", "x"));
    EXPECT_EQ(GetFileAllocatedSize((dir / "plain/child").c_str()), -1);
}

}  // namespace
