#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/AppClock.h"
#include "app/CDownloadController.h"
#include "app/ControllerAction.h"
#include "app/ControllerSnapshot.h"
#include "app/DigestWorker.h"
#include "app/ResourceFetchWorker.h"

namespace kf::app {

// The thread that owns the controller. It runs Init, then takes the actions of the window, the
// console and the workers from its queue, runs the 100 ms and 1 s ticks from its clock, and
// publishes a fresh immutable snapshot after each round; when the controller asks to end (or the
// object is destroyed) it runs the exit clean-up and publishes a last snapshot marked ended.
//
// Threads: Post, Latest and WaitNewer may be called from any thread. The controller, the
// engine calls and the workers' start functions belong to the controller thread alone; the queue
// and the latest snapshot are the only things shared, each under the lock.
class ControllerThread {
  public:
    // `fetcher` null: the resource list is never fetched.
    ControllerThread(std::unique_ptr<CDownloadController> controller, AppClock& clock,
                     std::shared_ptr<Fetcher> fetcher, const ProductInfo& product);
    ControllerThread(const ControllerThread&) = delete;
    ControllerThread& operator=(const ControllerThread&) = delete;
    // An end nobody asked for (the controller reports it as such), then the join.
    ~ControllerThread();

    void Start();
    void Post(ControllerAction action);
    std::shared_ptr<const ControllerSnapshot> Latest() const;
    // The latest snapshot once one newer than `sequence` exists, waiting up to `timeout`.
    std::shared_ptr<const ControllerSnapshot> WaitNewer(uint64_t sequence,
                                                        std::chrono::milliseconds timeout) const;
    // Waits until the thread has ended.
    void Join();

  private:
    void Run();
    void Publish(bool ended);

    std::unique_ptr<CDownloadController> controller_;
    AppClock& clock_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;                  // the queue
    mutable std::condition_variable published_cv_;  // the snapshot
    std::deque<ControllerAction> queue_;
    std::shared_ptr<const ControllerSnapshot> latest_;
    uint64_t sequence_ = 0;  // the controller thread's own; copied into each snapshot

    // After the queue: the workers post into it until they are joined.
    DigestWorker digests_;
    ResourceFetchWorker fetches_;
    std::thread thread_;
};

}  // namespace kf::app
