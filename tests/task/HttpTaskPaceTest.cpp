// The pace of a download from a real server: a download limit still holds while the source peer
// reads large amounts per turn, and a finished download is reported as soon as its file is in
// place rather than at the next once-per-second publication.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "engine/kestrelfetch.h"
#include "support/ContentFiles.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace {

using namespace kf::test;
using Clock = std::chrono::steady_clock;

class HttpTaskPace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        ASSERT_TRUE(nginx_.Start(www_.Path()));
        ASSERT_EQ(InitEngine(nullptr), KF_OK);
    }
    void TearDown() override { CleanupEngine(); }

    std::string Serve(const std::string& name, size_t size, uint32_t seed) {
        contents_[name] = RandomBytes(size, seed);
        EXPECT_TRUE(WriteFile(www_.Path() + "/" + name, contents_[name]));
        return nginx_.Url("/" + name);
    }

    TaskParams Params(const std::string& target, const std::string& sources) {
        sources_ = sources;
        TaskParams params;
        std::memset(&params, 0, sizeof(params));
        std::strcpy(params.target_path, target.c_str());
        std::strcpy(params.resume_path, (target + ".kfinfo").c_str());
        params.sources = sources_.c_str();
        params.flags = KF_FLAG_FULL_PATH | KF_FLAG_ACCEPTED;
        return params;
    }

    static bool Exists(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0;
    }

    TempDir www_;
    TempDir dir_;
    NginxServer nginx_;
    std::map<std::string, std::string> contents_;
    std::string sources_;
};

TEST_F(HttpTaskPace, DownloadLimitHoldsWithLargeReads) {
    // 3 MiB at 1024 KiB/s: the budget of one second is 1 MiB, so three budgets are needed and the
    // download cannot end before two whole seconds have passed.
    const std::string url = Serve("paced.bin", 3 * 1024 * 1024, 5);
    const std::string target = dir_ / "paced.bin";
    TaskParams params = Params(target, url);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    ASSERT_EQ(SetTaskSpeedLimit(params.handle, 1, 1024), KF_OK);
    int32_t complete = 0;
    for (int i = 0; i < 3000 && complete == 0; ++i) {  // at most about 30 s
        ASSERT_EQ(IsTaskComplete(params.handle, &complete), KF_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_NE(complete, 0);
    ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
    EXPECT_EQ(ReadWholeFile(target), contents_["paced.bin"]);
    EXPECT_GE(seconds, 1.9) << "the limit was exceeded";
    EXPECT_LT(seconds, 15.0) << "far slower than the limit";
}

TEST_F(HttpTaskPace, CompletionIsReportedAsSoonAsTheFileIsInPlace) {
    // Three downloads: before the completion was published at once, the report came a uniformly
    // spread 0..1000 ms after the file was in place, so all three would rarely be quick.
    for (int run = 0; run < 3; ++run) {
        const std::string name = "quick-" + std::to_string(run) + ".bin";
        const std::string url = Serve(name, 6 * 1024 * 1024 + 77, 6 + run);
        const std::string target = dir_ / name;
        TaskParams params = Params(target, url);
        ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
        Clock::time_point in_place{};
        Clock::time_point reported{};
        for (int i = 0; i < 30000; ++i) {  // at most about 30 s
            const Clock::time_point now = Clock::now();
            if (in_place == Clock::time_point{} && Exists(target)) {
                in_place = now;
            }
            int32_t complete = 0;
            ASSERT_EQ(IsTaskComplete(params.handle, &complete), KF_OK);
            if (complete != 0) {
                reported = now;
                if (in_place == Clock::time_point{}) {
                    in_place = now;  // renamed and reported between the two looks
                }
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_NE(reported, Clock::time_point{}) << "run " << run;
        ASSERT_NE(in_place, Clock::time_point{}) << "run " << run;
        EXPECT_LT(std::chrono::duration<double>(reported - in_place).count(), 0.3) << "run " << run;
        // What is reported with the completion is complete too.
        TaskInfo info;
        ASSERT_EQ(QueryTaskInfo(params.handle, &info), KF_OK);
        EXPECT_EQ(info.bytes_done, static_cast<int64_t>(contents_[name].size())) << "run " << run;
        EXPECT_GE(info.http_bytes, static_cast<int64_t>(contents_[name].size())) << "run " << run;
        ASSERT_EQ(StopTask(params.handle, 0), KF_OK);
        EXPECT_EQ(ReadWholeFile(target), contents_[name]);
    }
}

}  // namespace
