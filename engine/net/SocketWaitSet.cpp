#include "engine/net/SocketWaitSet.h"

#include <cerrno>

#include "engine/net/QSocket.h"

namespace kf {

void SocketWaitSet::Clear() {
    members_.clear();
    fds_.clear();
}

void SocketWaitSet::Add(const QSocket& socket, bool want_write) {
    Member member;
    const SocketTransport::PollTarget target =
        socket.IsOpen() ? socket.transport_->PollFor(socket.handle_, want_write)
                        : SocketTransport::PollTarget{};
    if (target.fd >= 0) {
        member.poll_index = static_cast<int>(fds_.size());
        pollfd fd{};
        fd.fd = target.fd;
        fd.events = target.events;
        fds_.push_back(fd);
    }
    members_.push_back(member);
}

void SocketWaitSet::AddHandle(int handle, bool want_write) {
    Member member;
    member.poll_index = static_cast<int>(fds_.size());
    pollfd fd{};
    fd.fd = handle;
    fd.events = static_cast<short>(POLLIN | (want_write ? POLLOUT : 0));
    fds_.push_back(fd);
    members_.push_back(member);
}

int32_t SocketWaitSet::Wait(int32_t timeout_ms) {
    int32_t always_ready = 0;
    for (const Member& member : members_) {
        always_ready += member.poll_index < 0 ? 1 : 0;
    }
    if (always_ready > 0) {
        timeout_ms = 0;
    }
    if (fds_.empty()) {
        if (timeout_ms > 0) {
            poll(nullptr, 0, timeout_ms);
        }
        return always_ready;
    }
    int result;
    do {
        result = poll(fds_.data(), fds_.size(), timeout_ms);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        for (pollfd& fd : fds_) {
            fd.revents = 0;
        }
        return always_ready;
    }
    return result + always_ready;
}

bool SocketWaitSet::Ready(size_t index) const {
    if (index >= members_.size()) {
        return false;
    }
    const int poll_index = members_[index].poll_index;
    return poll_index < 0 || fds_[static_cast<size_t>(poll_index)].revents != 0;
}

}  // namespace kf
