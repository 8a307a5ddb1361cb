#pragma once

namespace kf {

// A handle that a thread waiting in a readiness wait (SocketWaitSet) can be woken through: any
// thread signals, the waiter drains. An event counter of the system; no lock needed.
//
// Owner: the object whose thread waits. Results: Signal and Drain never block; when the handle
// could not be made (no descriptors left) Handle() is -1 and waiters wake only on their time-out.
class WakeSignal {
  public:
    WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    ~WakeSignal();

    void Signal();
    // Clears pending signals (the waiter, after it woke).
    void Drain();
    int Handle() const { return handle_; }

  private:
    int handle_ = -1;
};

}  // namespace kf
