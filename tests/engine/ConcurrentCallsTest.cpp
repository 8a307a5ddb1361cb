// Application threads call the engine all at once while tasks download, as a program with a user
// interface thread, a timer thread and a scripting thread would. Under the thread-sanitizer build
// this is where a call that touches a worker's state outside the task lock shows up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/api/AsyncMessage.h"
#include "engine/kestrelfetch.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// Counts the calls that did not answer as expected and keeps the first one's name.
class CallCheck {
  public:
    void Expect(bool ok, const char* call) {
        if (!ok && failures_.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> hold(mutex_);
            first_ = call;
        }
    }
    int32_t Failures() const { return failures_.load(); }
    std::string First() {
        std::lock_guard<std::mutex> hold(mutex_);
        return first_;
    }

  private:
    std::atomic<int32_t> failures_{0};
    std::mutex mutex_;
    std::string first_;
};

TEST(EngineConcurrency, CallsFromManyThreadsWhileTasksDownloadAndRestart) {
    if (!test::NginxServer::Available() || !test::HaveMktorrent()) {
        GTEST_SKIP() << "needs nginx and mktorrent (scripts/install-deps)";
    }
    TempDir www;
    TempDir out;
    const test::DownloadContent content = test::MakeDownloadContent(
        www / "file.bin", 3 * 1024 * 1024 + 777, 16, 91, www / "file.torrent");
    ASSERT_FALSE(content.torrent_path.empty());
    ASSERT_TRUE(test::WriteFile(www / "copy.bin", content.bytes));
    test::NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www.Path())) << nginx.ErrorLogText();

    test::EngineSession engine;
    ASSERT_TRUE(engine.ok());
    EngineLogSetPathPrefix((out / "engine").c_str());
    SetListenPort(test::FreeTcpPort());
    EnableP2P(1);

    // A swarm task that is never stopped and a plain one that is stopped and started over and
    // over; both are slowed so that the calls below meet them mid-download.
    const std::string swarm_source = nginx.Url("/file.bin");
    TaskParams swarm_params = test::P2spTaskParams(content.torrent_path, swarm_source.c_str(),
                                                   out / "swarm.bin", out / "swarm.kfinfo");
    ASSERT_EQ(CreateAndStartTask(&swarm_params), KF_OK);
    const std::string plain_source = nginx.Url("/copy.bin");
    TaskParams plain_params;
    std::memset(&plain_params, 0, sizeof(plain_params));
    std::strncpy(plain_params.target_path, (out / "plain.bin").c_str(), KF_TEXT_MAX - 1);
    std::strncpy(plain_params.resume_path, (out / "plain.kfinfo").c_str(), KF_TEXT_MAX - 1);
    plain_params.sources = plain_source.c_str();
    plain_params.flags = KF_FLAG_ACCEPTED | KF_FLAG_FULL_PATH;
    ASSERT_EQ(CreateAndStartTask(&plain_params), KF_OK);
    const KfTaskHandle swarm = swarm_params.handle;
    const KfTaskHandle plain = plain_params.handle;
    const KfTaskHandle tasks[] = {swarm, plain};
    for (KfTaskHandle task : tasks) {
        ASSERT_EQ(SetTaskSpeedLimit(task, 1, 256), KF_OK);
    }

    CallCheck check;
    std::atomic<bool> finish{false};
    std::atomic<int32_t> messages{0};
    int64_t swarm_http_low = 0;  // only the reader thread touches it until the join
    const std::vector<std::function<void(int)>> callers = {
        // Reader: what a progress display polls. The swarm task is never stopped, so its HTTP
        // byte sum never goes back, and its bitfield, once there, covers the metainfo's pieces.
        [&](int) {
            for (KfTaskHandle task : tasks) {
                TaskInfo info;
                int32_t flag = 0;
                check.Expect(QueryTaskInfo(task, &info) == KF_OK, "QueryTaskInfo");
                check.Expect(info.progress >= 0 && info.progress <= 10000, "progress range");
                check.Expect(IsTaskComplete(task, &flag) == KF_OK, "IsTaskComplete");
                check.Expect(IsTaskRunning(task, &flag) == KF_OK, "IsTaskRunning");
                const std::vector<bool> pieces = test::VerifiedPieces(task);
                if (task == swarm) {
                    check.Expect(pieces.empty() ||
                                     static_cast<int64_t>(pieces.size()) == content.piece_count(),
                                 "bitfield size");
                    check.Expect(info.http_bytes >= swarm_http_low, "swarm HTTP bytes");
                    swarm_http_low = info.http_bytes;
                }
            }
        },
        // Tuner: limits, mirrors and proxies change under the running workers.
        [&](int round) {
            for (KfTaskHandle task : tasks) {
                check.Expect(SetTaskSpeedLimit(task, 1, 192 + round % 128) == KF_OK, "download");
                check.Expect(SetTaskSpeedLimit(task, 0, round % 64) == KF_OK, "upload");
                check.Expect(SetTaskConnectionLimits(task, 1 + round % 3, 8 + round % 16) == KF_OK,
                             "SetTaskConnectionLimits");
                check.Expect(SetTaskSeedingHours(task, 1 + round % 2) == KF_OK, "seeding");
                check.Expect(SetTaskProxy(task, round % 2 == 0 ? "" : nullptr) == KF_OK,
                             "SetTaskProxy");
            }
            check.Expect(ClearMirrorSources(plain) == KF_OK, "ClearMirrorSources");
            check.Expect(AddMirrorSources(plain, plain_source.c_str(), "") == KF_OK, "mirrors");
            check.Expect(SetEngineProxy(nullptr) == KF_OK, "SetEngineProxy");
        },
        // Engine-wide switches and the log, which every worker reads.
        [&](int round) {
            check.Expect(EnableP2P(round % 4 != 0 ? 1 : 0) == KF_OK, "EnableP2P");
            SetHttpWrappedHandshake(round % 2);
            check.Expect(SetListenAddress(round % 2 == 0 ? "127.0.0.1" : nullptr) == KF_OK,
                         "SetListenAddress");
            EngineLogSetThresholds(38, round % 2 == 0 ? 0 : 2);
            EngineLogWrite("concurrency test line", 13, 13);
            if (round % 8 == 0) {
                check.Expect(ShowMessageAsync(nullptr, "note", "test", 0) == 1, "message");
                messages.fetch_add(1);
            }
        },
        // Stop and start: the plain task's worker is joined and made again while the others run.
        [&](int round) {
            if (round % 2 == 0) {
                check.Expect(StopTask(plain, 0) == KF_OK, "StopTask");
            } else {
                check.Expect(StartTask(plain) == KF_OK, "StartTask");
            }
            std::this_thread::sleep_for(50ms);
        },
    };
    // Set only here and reset right after the join, so that no failed assertion leaves it behind.
    std::atomic<int32_t> shown{0};
    AsyncMessage::SetPresenter(
        [&shown](void*, const std::string&, const std::string&, uint32_t) { shown.fetch_add(1); });
    std::vector<std::thread> threads;
    for (const auto& caller : callers) {
        threads.emplace_back([&finish, &caller] {
            // Every caller stops after an odd round, so the plain task is left started.
            for (int round = 0; !finish.load() || round % 2 != 0; ++round) {
                caller(round);
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    std::this_thread::sleep_for(2s);
    finish = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(check.Failures(), 0) << "first: " << check.First();
    AsyncMessage::JoinAll();
    AsyncMessage::SetPresenter({});
    EXPECT_EQ(shown.load(), messages.load());

    // Whatever happened meanwhile, both files come out whole once the limits are lifted.
    EnableP2P(1);
    for (KfTaskHandle task : tasks) {
        ASSERT_EQ(SetTaskSpeedLimit(task, 1, 0), KF_OK);
    }
    EXPECT_TRUE(test::WaitUntil(
        [&] { return test::TaskComplete(swarm) && test::TaskComplete(plain); }, 90s))
        << test::QueryInfo(swarm).bytes_done << " / " << test::QueryInfo(plain).bytes_done;
    EXPECT_EQ(StopTask(swarm, 0), KF_OK);
    EXPECT_EQ(StopTask(plain, 0), KF_OK);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(out / "swarm.bin")), test::Sha1Hex(content.bytes));
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(out / "plain.bin")), test::Sha1Hex(content.bytes));
    EnableP2P(0);
    SetListenAddress(nullptr);
    SetHttpWrappedHandshake(0);
}

}  // namespace
}  // namespace kf
