#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace kf {

// Recursive, owner-counted lock. A thread that already owns it only raises the hold count; the
// Unlock that brings the count to zero releases it. Unlock by a thread that does not own the lock
// does nothing and answers false, so a failure path may release "whatever it still holds" safely.
class QTMutex {
  public:
    QTMutex() = default;
    QTMutex(const QTMutex&) = delete;
    QTMutex& operator=(const QTMutex&) = delete;
    virtual ~QTMutex() = default;

    void Lock();
    bool TryLock();
    bool Unlock();
    bool OwnedByCaller() const {
        return owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
    }

    // BasicLockable, so that std::lock_guard and std::unique_lock work with it.
    void lock() { Lock(); }
    bool try_lock() { return TryLock(); }
    void unlock() { Unlock(); }

  private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int count_ = 0;
};

using QTMutexLock = std::lock_guard<QTMutex>;

}  // namespace kf
