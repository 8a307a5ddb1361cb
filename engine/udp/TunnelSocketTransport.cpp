#include "engine/udp/TunnelSocketTransport.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "engine/os/Tick.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/TunnelSessions.h"

namespace kf {

namespace {

using Result = SocketTransport::Result;

// One wait on a wake handle is at most this long, so that a lost signal costs little.
constexpr int32_t kWaitSliceMs = 500;

}  // namespace

template <typename Call>
Result TunnelSocketTransport::OnSessions(Call&& call) {
    QTMutexLock hold(endpoint_.lock_);
    if (endpoint_.sessions_ == nullptr) {
        return Result::Failure(TunnelSessions::kErrNotInitialised);
    }
    return call(*endpoint_.sessions_);
}

Result TunnelSocketTransport::Open() {
    return OnSessions([](TunnelSessions& s) { return s.Socket(); });
}

Result TunnelSocketTransport::Bind(int32_t handle, const SocketAddress& local) {
    return OnSessions([&](TunnelSessions& s) { return s.Bind(handle, local); });
}

Result TunnelSocketTransport::Listen(int32_t handle, int32_t backlog) {
    return OnSessions([&](TunnelSessions& s) { return s.Listen(handle, backlog); });
}

Result TunnelSocketTransport::Connect(int32_t handle, const SocketAddress& remote) {
    return OnSessions([&](TunnelSessions& s) { return s.Connect(handle, remote); });
}

Result TunnelSocketTransport::Accept(int32_t handle, SocketAddress& peer) {
    return OnSessions([&](TunnelSessions& s) { return s.Accept(handle, peer); });
}

Result TunnelSocketTransport::Send(int32_t handle, std::span<const uint8_t> bytes) {
    return OnSessions([&](TunnelSessions& s) { return s.Send(handle, bytes); });
}

Result TunnelSocketTransport::Receive(int32_t handle, std::span<uint8_t> bytes) {
    return OnSessions([&](TunnelSessions& s) { return s.Receive(handle, bytes); });
}

Result TunnelSocketTransport::LocalName(int32_t handle, SocketAddress& local) {
    return OnSessions([&](TunnelSessions& s) { return s.LocalName(handle, local); });
}

int32_t TunnelSocketTransport::Wait(int32_t handle, WaitFor what, int32_t timeout_ms) {
    const uint64_t start = TickMilliseconds();
    for (;;) {
        int wake = -1;
        {
            QTMutexLock hold(endpoint_.lock_);
            TunnelSessions* sessions = endpoint_.sessions_;
            if (sessions == nullptr) {
                return -1;
            }
            // Only the direction waited for may signal the wake handle, or a writable socket
            // would end every wait for data at once.
            const bool write = what == WaitFor::kWritable;
            sessions->WatchWritable(handle, write);
            if (sessions->Failed(handle) ||
                (write ? sessions->Writable(handle) : sessions->Readable(handle))) {
                return 1;
            }
            wake = sessions->WakeHandle(handle);
        }
        if (wake < 0) {
            return -1;
        }
        int32_t slice = kWaitSliceMs;
        if (timeout_ms >= 0) {
            const uint64_t waited = TickMilliseconds() - start;
            if (waited >= static_cast<uint64_t>(timeout_ms)) {
                return 0;
            }
            slice = std::min<int32_t>(slice, timeout_ms - static_cast<int32_t>(waited));
        }
        pollfd fd{wake, POLLIN, 0};
        if (poll(&fd, 1, slice) < 0 && errno != EINTR) {
            return -1;
        }
    }
}

SocketTransport::PollTarget TunnelSocketTransport::PollFor(int32_t handle, bool want_write) {
    QTMutexLock hold(endpoint_.lock_);
    TunnelSessions* sessions = endpoint_.sessions_;
    if (sessions == nullptr) {
        return {};
    }
    sessions->WatchWritable(handle, want_write);
    return PollTarget{sessions->WakeHandle(handle), POLLIN};
}

int32_t TunnelSocketTransport::PendingError(int32_t handle) {
    QTMutexLock hold(endpoint_.lock_);
    TunnelSessions* sessions = endpoint_.sessions_;
    return sessions == nullptr ? TunnelSessions::kErrNotInitialised
                               : sessions->PendingError(handle);
}

void TunnelSocketTransport::Close(int32_t handle) {
    QTMutexLock hold(endpoint_.lock_);
    if (TunnelSessions* sessions = endpoint_.sessions_) {
        sessions->Close(handle);
    }
}

}  // namespace kf
