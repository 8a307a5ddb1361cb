#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kf {

class QSocket;

// Waits for any of a set of connections to become ready, so that a task's loop wakes as soon as
// data arrives instead of sleeping its whole interval. A tunnelled connection is waited for on the
// wake handle its transport signals while it is ready. Used on one thread.
class SocketWaitSet {
  public:
    void Clear();
    // `want_write`: the connection has queued bytes or is still connecting.
    void Add(const QSocket& socket, bool want_write);
    // An open system handle that is not a QSocket (a UDP socket).
    void AddHandle(int handle, bool want_write);
    // Waits at most `timeout_ms` for any member to be ready; answers how many are.
    int32_t Wait(int32_t timeout_ms);
    // Whether member `index` (in the order of Add) was ready after the last Wait.
    bool Ready(size_t index) const;
    size_t size() const { return members_.size(); }

  private:
    struct Member {
        int poll_index = -1;  // -1: not pollable, always ready
    };
    std::vector<Member> members_;
    std::vector<pollfd> fds_;
};

}  // namespace kf
