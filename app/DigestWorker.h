#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "app/ControllerAction.h"

namespace kf::app {

// Runs FileDigest::Md5 on a thread of its own and posts its progress (at most every 0.1 %) and
// its result to the controller as actions, tagged with the request's generation.
//
// Owner and threads: ControllerThread owns it and calls it from the controller thread; `post`
// is called on the worker thread. One digest at a time: a new one cancels the one before.
class DigestWorker {
  public:
    using Post = std::function<void(ControllerAction)>;

    explicit DigestWorker(Post post) : post_(std::move(post)) {}
    DigestWorker(const DigestWorker&) = delete;
    DigestWorker& operator=(const DigestWorker&) = delete;
    ~DigestWorker() { Stop(); }

    // False when the thread could not be made.
    bool Start(const DigestRequest& request);
    // Cancels a running digest (it answers nothing) and waits for its thread.
    void Stop();

  private:
    Post post_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    std::thread thread_;
};

}  // namespace kf::app
