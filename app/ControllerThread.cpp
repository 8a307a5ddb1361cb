#include "app/ControllerThread.h"

#include <pthread.h>

#include <algorithm>
#include <vector>

namespace kf::app {

ControllerThread::ControllerThread(std::unique_ptr<CDownloadController> controller, AppClock& clock,
                                   std::shared_ptr<Fetcher> fetcher, const ProductInfo& product)
    : controller_(std::move(controller)),
      clock_(clock),
      latest_(std::make_shared<const ControllerSnapshot>()),
      digests_([this](ControllerAction action) { Post(std::move(action)); }),
      fetches_(std::move(fetcher), product,
               [this](ControllerAction action) { Post(std::move(action)); }) {
    controller_->SetWorkers(
        [this](const DigestRequest& request) { return digests_.Start(request); },
        [this](const FetchRequest& request) { return fetches_.Start(request); });
}

ControllerThread::~ControllerThread() {
    if (thread_.joinable()) {
        Post(action::Exit{false});
        thread_.join();
    }
}

void ControllerThread::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ControllerThread::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ControllerThread::Post(ControllerAction action) {
    {
        std::lock_guard hold(mutex_);
        queue_.push_back(std::move(action));
    }
    wake_.notify_all();
}

std::shared_ptr<const ControllerSnapshot> ControllerThread::Latest() const {
    std::lock_guard hold(mutex_);
    return latest_;
}

std::shared_ptr<const ControllerSnapshot> ControllerThread::WaitNewer(
    uint64_t sequence, std::chrono::milliseconds timeout) const {
    std::unique_lock hold(mutex_);
    published_cv_.wait_for(hold, timeout, [&] { return latest_->sequence > sequence; });
    return latest_;
}

void ControllerThread::Publish(bool ended) {
    ControllerSnapshot snapshot = controller_->Snapshot();
    snapshot.sequence = ++sequence_;
    snapshot.ended = ended;
    auto published = std::make_shared<const ControllerSnapshot>(std::move(snapshot));
    {
        std::lock_guard hold(mutex_);
        latest_ = std::move(published);
    }
    published_cv_.notify_all();
}

void ControllerThread::Run() {
    pthread_setname_np(pthread_self(), "KFController");
    controller_->Init();
    Publish(false);
    uint64_t next_status = clock_.NowMs() + 100;
    uint64_t next_second = clock_.NowMs() + 1000;
    while (!controller_->ExitRequested()) {
        std::vector<ControllerAction> actions;
        {
            std::unique_lock hold(mutex_);
            const uint64_t deadline = std::min(next_status, next_second);
            while (queue_.empty() && clock_.NowMs() < deadline) {
                clock_.WaitUntil(hold, wake_, deadline);
            }
            actions.assign(std::make_move_iterator(queue_.begin()),
                           std::make_move_iterator(queue_.end()));
            queue_.clear();
        }
        for (const ControllerAction& action : actions) {
            controller_->Handle(action);
        }
        const uint64_t now = clock_.NowMs();
        if (now >= next_status) {
            controller_->Tick100();
            // A late round runs one tick, not a burst of them.
            next_status = next_status + 100 > now ? next_status + 100 : now + 100;
        }
        if (now >= next_second) {
            controller_->TickSecond();
            next_second = next_second + 1000 > now ? next_second + 1000 : now + 1000;
        }
        Publish(false);
    }
    controller_->ExitCleanup();
    digests_.Stop();
    fetches_.Join();
    Publish(true);
}

}  // namespace kf::app
