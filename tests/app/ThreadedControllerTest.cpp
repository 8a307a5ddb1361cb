// The controller on its own thread with its workers: actions through the queue, ticks from a
// clock the test moves, MD5 digests of real files on the digest worker, the resource list on the
// fetch worker, snapshots published for the front ends.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ControllerHarness.h"
#include "app/ControllerThread.h"
#include "app/FileDigest.h"
#include "app/ResourceFetchWorker.h"
#include "support/TempDir.h"

namespace kf::app::test {
namespace {

// Waits for a snapshot that satisfies `done`, moving the clock 100 ms after each snapshot that
// does not, for at most 20 s: the workers answer in real time, the ticks come in the clock's.
std::shared_ptr<const ControllerSnapshot> WaitFor(
    ControllerThread& thread, FakeClock& clock,
    const std::function<bool(const ControllerSnapshot&)>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::shared_ptr<const ControllerSnapshot> snapshot = thread.Latest();
    while (!done(*snapshot) && std::chrono::steady_clock::now() < end) {
        clock.Advance(100);
        snapshot = thread.WaitNewer(snapshot->sequence, std::chrono::milliseconds(50));
    }
    return snapshot;
}

// A fetch that blocks until the test opens the gate; counts the fetches that started.
class GatedFetcher final : public Fetcher {
  public:
    Result Get(const std::string&, int) override {
        std::unique_lock hold(mutex_);
        ++started_;
        changed_.notify_all();
        changed_.wait_for(hold, std::chrono::seconds(10), [&] { return open_; });
        Result result;
        result.ok = true;
        result.body = body_;
        return result;
    }
    void Open(std::string body) {
        std::lock_guard hold(mutex_);
        body_ = std::move(body);
        open_ = true;
        changed_.notify_all();
    }
    bool WaitStarted(int count) {
        std::unique_lock hold(mutex_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return started_ >= count; });
    }
    int Started() {
        std::lock_guard hold(mutex_);
        return started_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int started_ = 0;
    std::string body_;
};

TEST(ThreadedController, DownloadsVerifiesRealFilesAndStartsTheInstaller) {
    ControllerHarness h({4097, 1, 0});
    kf::test::TempDir save;
    h.config.save_folder_override = save.Path();
    for (int i = 0; i < 3; ++i) {
        const std::string path = save / h.Name(i);
        ASSERT_TRUE(kf::test::WriteFile(path, std::string(h.config.product.files[i].size, 'k')));
        h.config.product.files[i].md5 = FileDigest::Md5(path, {});
        ASSERT_EQ(h.config.product.files[i].md5.size(), 32u);
    }
    const std::string xml =
        "<project><configs><p2p-switch>off</p2p-switch></configs><resources>"
        "<resource id='1' task='" +
        h.config.product.files[1].source_url +
        "'>"
        "<cdn id='a' name='A' middle-dir='/d/' file-name='f' open='true'><ip>10.0.0.9</ip>"
        "</cdn></resource></resources></project>";
    auto fetcher = std::make_shared<GatedFetcher>();
    fetcher->Open(xml);
    ControllerThread thread(std::make_unique<CDownloadController>(
                                h.config, ControllerServices{h.engine, h.disk, h.clock, h.messages,
                                                             h.launcher, h.power, h.events}),
                            h.clock, fetcher, h.config.product);
    thread.Start();
    auto snapshot = WaitFor(thread, h.clock, [](const auto& s) { return s.sequence > 0; });
    ASSERT_EQ(snapshot->init_result, 0);
    ASSERT_EQ(snapshot->state, DownloadState::kReady);

    thread.Post(action::MainAction{});
    snapshot = WaitFor(thread, h.clock, [](const auto& s) { return s.user_actions == 1; });
    ASSERT_EQ(snapshot->state, DownloadState::kPreparing);
    h.SetTasks(100, 100000);
    snapshot = WaitFor(thread, h.clock, [&](const auto&) {
        return h.engine.Count("AddMirrorSources data.7z.001") > 0;
    });
    EXPECT_EQ(snapshot->state, DownloadState::kDownloading);
    for (int i = 0; i < 3; ++i) {
        h.ChangeTask(i, [](FakeTask& task) {
            task.complete = true;
            task.info.info.progress = 10000;
        });
        h.disk.PutFile(save / h.Name(i), h.config.product.files[i].size);
    }
    snapshot =
        WaitFor(thread, h.clock, [](const auto& s) { return s.state == DownloadState::kFinished; });
    ASSERT_EQ(snapshot->state, DownloadState::kFinished);

    thread.Post(action::MainAction{});
    snapshot =
        WaitFor(thread, h.clock, [](const auto& s) { return s.question == Question::kVerify; });
    thread.Post(action::VerifyAnswer{true, true});
    snapshot = WaitFor(thread, h.clock, [](const auto& s) { return s.ended; });
    ASSERT_TRUE(snapshot->ended);
    thread.Join();
    EXPECT_TRUE(snapshot->installer_launched);
    EXPECT_TRUE(snapshot->all_verified);
    EXPECT_EQ(snapshot->state, DownloadState::kCheckFinished);
    EXPECT_EQ(h.launcher.opened.size(), 1u);
    EXPECT_EQ(h.events->Count("11100004"), 1);
    EXPECT_EQ(h.events->Count("11500201"), 0);
    EXPECT_TRUE(h.engine.Logged("由于启动了安装程序，退出"));
    EXPECT_EQ(h.engine.Calls().back(), "CleanupEngine");
}

TEST(ThreadedController, AnExitMidDownloadStopsTheTasksAndAnUnaskedEndIsTold) {
    for (const bool asked : {true, false}) {
        SCOPED_TRACE(asked);
        ControllerHarness h;
        auto thread = std::make_unique<ControllerThread>(
            std::make_unique<CDownloadController>(
                h.config, ControllerServices{h.engine, h.disk, h.clock, h.messages, h.launcher,
                                             h.power, h.events}),
            h.clock, nullptr, h.config.product);
        thread->Start();
        thread->Post(action::MainAction{});
        auto snapshot =
            WaitFor(*thread, h.clock, [](const auto& s) { return s.user_actions == 1; });
        ASSERT_EQ(snapshot->state, DownloadState::kPreparing);
        if (asked) {
            thread->Post(action::Exit{true});
            snapshot = WaitFor(*thread, h.clock, [](const auto& s) { return s.ended; });
            EXPECT_TRUE(snapshot->user_exit);
        }
        thread.reset();  // an end nobody asked for when `asked` is false
        EXPECT_EQ(h.engine.Count("StopTasks 3"), 1);
        EXPECT_EQ(h.engine.Calls().back(), "CleanupEngine");
        EXPECT_EQ(h.events->Count("11990501"), asked ? 0 : 1);
        EXPECT_EQ(h.events->Count("11040000"), asked ? 1 : 0);
    }
}

TEST(ThreadedController, TheFetchWorkerRunsOneFetchAtATime) {
    auto fetcher = std::make_shared<GatedFetcher>();
    ControllerHarness h;
    std::mutex mutex;
    std::condition_variable posted;
    std::vector<action::ResourceListDone> answers;
    ResourceFetchWorker worker(fetcher, h.config.product, [&](ControllerAction action) {
        std::lock_guard hold(mutex);
        answers.push_back(std::get<action::ResourceListDone>(std::move(action)));
        posted.notify_all();
    });
    FetchRequest request;
    request.kind = FetchRequest::Kind::kMirrors;
    ASSERT_TRUE(worker.Start(request));
    ASSERT_TRUE(fetcher->WaitStarted(1));
    EXPECT_FALSE(worker.Start(request)) << "refused while one runs";
    fetcher->Open("<project><configs><p2p-switch>on</p2p-switch></configs></project>");
    {
        std::unique_lock hold(mutex);
        ASSERT_TRUE(
            posted.wait_for(hold, std::chrono::seconds(10), [&] { return !answers.empty(); }));
    }
    worker.Join();
    ASSERT_TRUE(worker.Start(request));
    worker.Join();
    EXPECT_EQ(fetcher->Started(), 2);
    std::lock_guard hold(mutex);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0].fetched);
    ASSERT_TRUE(answers[0].reading);
    EXPECT_TRUE(answers[0].reading->p2p_on);

    ResourceFetchWorker without(nullptr, h.config.product, [](ControllerAction) {});
    EXPECT_FALSE(without.Start(request));
}

}  // namespace
}  // namespace kf::app::test
