#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "engine/base/QTMutex.h"

namespace kf {

// Base of every long-lived engine thread: one worker thread, its lock, and stop and pause requests.
//
// A derived class supplies Run() and must call StopThread() in its own destructor, before its
// members go away; the base destructor only catches the case where that was forgotten.
// A thread may be started, stopped and started again; each start raises the generation so that the
// clean-up of an old thread never touches a newer one.
class QThread {
  public:
    QThread() = default;
    QThread(const QThread&) = delete;
    QThread& operator=(const QThread&) = delete;
    virtual ~QThread();

    // Starts the thread under `name` (shown by the system, cut to 15 bytes) and waits until it has
    // marked itself started. False when a thread already runs or could not be created.
    bool StartThread(const char* name);
    // Asks the thread to stop and waits for it to end. Returns at once when no thread runs; from
    // the worker thread itself it only sets the request.
    bool StopThread();
    // Sets the stop request without waiting; answers the generation to pass to HasEnded (0 when no
    // thread runs).
    uint32_t RequestStop();
    // True when the thread of the given generation is no longer running.
    bool HasEnded(uint32_t generation) const;
    // Answers the stop request. While paused (and no stop requested) it first waits, so that a
    // paused task stands still at its next check.
    bool IsStopRequested();
    // The stop request as it stands, without waiting while paused.
    bool StopRequestedNow() const { return stop_requested_.load(); }
    // Pausing is only possible while a thread runs; answers whether the flag was set.
    bool Pause(bool pause);

    bool IsRunning() const { return running_.load(std::memory_order_acquire); }
    bool IsCurrentThread() const { return std::this_thread::get_id() == worker_id_.load(); }
    uint32_t Generation() const { return generation_.load(); }
    // Engine clock seconds at which the current thread started.
    int64_t StartTime() const { return start_time_.load(); }
    // Guards what the engine calls read from the worker (published snapshots, lists, limits).
    QTMutex& TaskLock() { return lock_; }

  protected:
    // The thread body.
    virtual void Run() = 0;
    virtual void RefreshProgress() {}
    // Sleeps n seconds, returning early when a stop is requested. Answers false on a stop.
    virtual bool SleepSeconds(int seconds);
    // Sleeps up to `ms` milliseconds, returning early when a stop is requested or WakeUp was
    // called (during the sleep or since the last one).
    bool SleepMilliseconds(int64_t ms);
    // Ends the worker's current or next SleepMilliseconds early, from any thread.
    void WakeUp();
    virtual void Notify() {}

  private:
    void Entry(uint32_t generation);
    void WakeSleepers();

    QTMutex lock_;
    std::thread thread_;
    std::atomic<std::thread::id> worker_id_{};
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> paused_{false};
    std::atomic<uint32_t> generation_{0};
    std::atomic<int64_t> start_time_{0};
    std::string name_;

    // Start hand-shake and interruptible sleeps.
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool started_ = false;
    bool woken_ = false;
};

}  // namespace kf
