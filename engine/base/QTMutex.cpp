#include "engine/base/QTMutex.h"

namespace kf {

void QTMutex::Lock() {
    if (OwnedByCaller()) {
        ++count_;
        return;
    }
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_release);
    count_ = 1;
}

bool QTMutex::TryLock() {
    if (OwnedByCaller()) {
        ++count_;
        return true;
    }
    if (!mutex_.try_lock()) {
        return false;
    }
    owner_.store(std::this_thread::get_id(), std::memory_order_release);
    count_ = 1;
    return true;
}

bool QTMutex::Unlock() {
    if (!OwnedByCaller()) {
        return false;
    }
    if (--count_ == 0) {
        owner_.store(std::thread::id(), std::memory_order_release);
        mutex_.unlock();
    }
    return true;
}

}  // namespace kf
