#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/base/QTMutex.h"
#include "engine/base/QThread.h"

namespace {

using kf::QThread;
using kf::QTMutex;

// Waits up to about five seconds for `condition`.
template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(QTMutex, IsRecursiveAndOnlyTheOwnerReleasesIt) {
    QTMutex mutex;
    mutex.Lock();
    mutex.Lock();
    EXPECT_TRUE(mutex.TryLock());
    std::atomic<bool> other_got_it{false};
    std::atomic<bool> other_unlock_result{true};
    std::thread other([&] {
        other_unlock_result = mutex.Unlock();  // not the owner
        other_got_it = mutex.TryLock();
    });
    other.join();
    EXPECT_FALSE(other_unlock_result);
    EXPECT_FALSE(other_got_it);

    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.OwnedByCaller());
    EXPECT_TRUE(mutex.Unlock());  // third hold released: free now
    EXPECT_FALSE(mutex.OwnedByCaller());
    EXPECT_FALSE(mutex.Unlock());

    std::thread taker([&] {
        other_got_it = mutex.TryLock();
        mutex.Unlock();
    });
    taker.join();
    EXPECT_TRUE(other_got_it);
}

// A worker that counts its runs and can be told to throw or to end by itself.
class Worker : public QThread {
  public:
    ~Worker() override { StopThread(); }

    std::atomic<int> runs{0};
    std::atomic<int> checks{0};
    std::atomic<bool> throw_now{false};
    std::atomic<bool> end_now{false};

  protected:
    void Run() override {
        ++runs;
        while (!IsStopRequested()) {
            ++checks;
            if (throw_now) {
                QTMutexHold hold(TaskLock());
                throw std::runtime_error("worker failure");
            }
            if (end_now) {
                return;
            }
            SleepMilliseconds(5);
        }
    }

  private:
    using QTMutexHold = kf::QTMutexLock;
};

TEST(QThread, StopWithoutAThreadReturnsAtOnce) {
    Worker worker;
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_TRUE(worker.StopThread());
    EXPECT_EQ(worker.RequestStop(), 0u);
    EXPECT_FALSE(worker.Pause(true));
}

TEST(QThread, EachStartRunsWithAFreshGeneration) {
    Worker worker;
    ASSERT_TRUE(worker.StartThread("kf-test-worker"));
    EXPECT_FALSE(worker.StartThread("kf-test-worker"));  // already running
    const uint32_t first = worker.Generation();
    EXPECT_TRUE(worker.StopThread());
    EXPECT_TRUE(worker.HasEnded(first));

    ASSERT_TRUE(worker.StartThread("kf-test-worker"));
    const uint32_t second = worker.Generation();
    EXPECT_NE(first, second);
    // The old generation's end says nothing about the new thread.
    EXPECT_TRUE(worker.HasEnded(first));
    EXPECT_FALSE(worker.HasEnded(second));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_TRUE(Eventually([&] { return worker.runs == 2; }));

    // A thread that ends by itself can be started again as well.
    worker.end_now = true;
    ASSERT_TRUE(Eventually([&] { return !worker.IsRunning(); }));
    worker.end_now = false;
    ASSERT_TRUE(worker.StartThread("kf-test-worker"));
    EXPECT_TRUE(Eventually([&] { return worker.runs == 3; }));
}

TEST(QThread, PauseHoldsTheWorkerAtItsNextCheckAndStopStillWorks) {
    Worker worker;
    ASSERT_TRUE(worker.StartThread("kf-test-pause"));
    ASSERT_TRUE(worker.Pause(true));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int held_at = worker.checks;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(worker.checks - held_at, 1);
    // Stopping a paused worker does not wait for the pause to end.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(worker.StopThread());
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
}

TEST(QThread, AThrowingBodyReleasesItsHoldsAndStaysRestartable) {
    Worker worker;
    worker.throw_now = true;
    ASSERT_TRUE(worker.StartThread("kf-test-throw"));
    ASSERT_TRUE(Eventually([&] { return !worker.IsRunning(); }));
    // The lock the body held when it threw is free again.
    EXPECT_TRUE(worker.TaskLock().TryLock());
    worker.TaskLock().Unlock();
    worker.throw_now = false;
    EXPECT_TRUE(worker.StartThread("kf-test-throw"));
    EXPECT_TRUE(worker.StopThread());
}

}  // namespace
