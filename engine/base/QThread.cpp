#include "engine/base/QThread.h"

#include <pthread.h>

#include <cassert>
#include <chrono>
#include <utility>

#include "engine/base/EngineClock.h"

namespace kf {

QThread::~QThread() {
    assert(!running_.load() && "derived class must stop its thread in its own destructor");
    StopThread();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool QThread::StartThread(const char* name) {
    QTMutexLock hold(lock_);
    if (running_.load()) {
        return false;
    }
    if (thread_.joinable()) {
        thread_.join();  // an earlier run that ended by itself
    }
    name_ = name != nullptr ? name : "";
    stop_requested_ = false;
    paused_ = false;
    {
        std::lock_guard<std::mutex> wake_hold(wake_mutex_);
        started_ = false;
    }
    const uint32_t generation = ++generation_;
    running_ = true;
    try {
        thread_ = std::thread(&QThread::Entry, this, generation);
    } catch (...) {
        running_ = false;
        return false;
    }
    std::unique_lock<std::mutex> wake_hold(wake_mutex_);
    wake_.wait(wake_hold, [this] { return started_; });
    return true;
}

bool QThread::StopThread() {
    if (IsCurrentThread()) {
        RequestStop();
        return true;
    }
    RequestStop();
    if (thread_.joinable()) {
        thread_.join();
    }
    return true;
}

uint32_t QThread::RequestStop() {
    stop_requested_ = true;
    WakeSleepers();
    return running_.load() ? generation_.load() : 0;
}

bool QThread::HasEnded(uint32_t generation) const {
    return !running_.load() || generation_.load() != generation;
}

bool QThread::IsStopRequested() {
    while (paused_.load() && !stop_requested_.load()) {
        std::unique_lock<std::mutex> wake_hold(wake_mutex_);
        wake_.wait_for(wake_hold, std::chrono::seconds(1),
                       [this] { return !paused_.load() || stop_requested_.load(); });
    }
    return stop_requested_.load();
}

bool QThread::Pause(bool pause) {
    if (!running_.load()) {
        return false;
    }
    paused_ = pause;
    WakeSleepers();
    return true;
}

bool QThread::SleepSeconds(int seconds) {
    for (int i = 0; i < seconds; ++i) {
        if (!SleepMilliseconds(1000)) {
            return false;
        }
    }
    return !stop_requested_.load();
}

bool QThread::SleepMilliseconds(int64_t ms) {
    std::unique_lock<std::mutex> wake_hold(wake_mutex_);
    wake_.wait_for(wake_hold, std::chrono::milliseconds(ms),
                   [this] { return stop_requested_.load() || std::exchange(woken_, false); });
    return !stop_requested_.load();
}

void QThread::WakeUp() {
    std::lock_guard<std::mutex> wake_hold(wake_mutex_);
    woken_ = true;
    wake_.notify_all();
}

void QThread::WakeSleepers() {
    std::lock_guard<std::mutex> wake_hold(wake_mutex_);
    wake_.notify_all();
}

void QThread::Entry(uint32_t generation) {
    // Linux limits thread names to 15 bytes.
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    worker_id_ = std::this_thread::get_id();
    start_time_ = NowSeconds();
    const bool stop_at_once = stop_requested_.load();
    {
        std::lock_guard<std::mutex> wake_hold(wake_mutex_);
        started_ = true;
        wake_.notify_all();
    }
    if (!stop_at_once) {
        try {
            Run();
        } catch (...) {
            // Holds on the task lock and engine mutexes were released by unwinding; the object
            // stays usable and may be started again.
        }
    }
    if (generation_.load() == generation) {
        worker_id_ = std::thread::id();
        running_ = false;
        WakeSleepers();
    }
}

}  // namespace kf
