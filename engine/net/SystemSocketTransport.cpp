#include "engine/net/SystemSocketTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace kf {

namespace {

using Result = SocketTransport::Result;

// Parts handed to one scattered read; enough for 1 MiB of 16 KiB blocks.
constexpr size_t kMaxReceiveParts = 64;

Result FromErrno() {
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS || error == EINTR) {
        return Result::Failure(SocketTransport::kErrWouldBlock);
    }
    if (error == EBADF || error == ENOTSOCK) {
        return Result::Failure(SocketTransport::kErrNotSocket);
    }
    if (error == ENOTCONN) {
        return Result::Failure(SocketTransport::kErrNotConnected);
    }
    return Result::Failure(SocketTransport::kErrFailed);
}

sockaddr_in ToSockaddr(const SocketAddress& address) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_addr.s_addr = address.ip;
    out.sin_port = htons(static_cast<uint16_t>(address.port));
    static_assert(sizeof(out.sin_zero) == 8);
    std::memcpy(out.sin_zero, address.node_id.data(), 8);
    return out;
}

void FromSockaddr(const sockaddr_in& in, SocketAddress& out) {
    out.ip = in.sin_addr.s_addr;
    out.port = ntohs(in.sin_port);
    std::memcpy(out.node_id.data(), in.sin_zero, 8);
}

}  // namespace

Result SystemSocketTransport::Open() {
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        return FromErrno();
    }
    const int flags = fcntl(handle, F_GETFL, 0);
    if (flags < 0 || fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0) {
        close(handle);
        return Result::Failure(kErrFailed);
    }
    return Result::Success(handle);
}

Result SystemSocketTransport::Bind(int32_t handle, const SocketAddress& local) {
    // A listener restarted soon after its predecessor must not wait for old connections to expire.
    const int on = 1;
    setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = ToSockaddr(local);
    std::memset(address.sin_zero, 0, sizeof(address.sin_zero));
    if (bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return FromErrno();
    }
    return Result::Success(0);
}

Result SystemSocketTransport::Listen(int32_t handle, int32_t backlog) {
    if (listen(handle, backlog) != 0) {
        return FromErrno();
    }
    return Result::Success(0);
}

Result SystemSocketTransport::Connect(int32_t handle, const SocketAddress& remote) {
    const sockaddr_in address = ToSockaddr(remote);
    if (connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return FromErrno();
    }
    return Result::Success(0);
}

Result SystemSocketTransport::Accept(int32_t handle, SocketAddress& peer) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    const int accepted = accept4(handle, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) {
        const int error = errno;
        // Connections that died in the queue are not the listener's fault: try again later.
        if (error == ECONNABORTED || error == EPROTO || error == ENETDOWN || error == ENOPROTOOPT ||
            error == EHOSTDOWN || error == ENONET || error == EHOSTUNREACH || error == EOPNOTSUPP ||
            error == ENETUNREACH) {
            return Result::Failure(kErrWouldBlock);
        }
        return FromErrno();
    }
    FromSockaddr(address, peer);
    return Result::Success(accepted);
}

Result SystemSocketTransport::Send(int32_t handle, std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return Result::Success(0);
    }
    const ssize_t written = send(handle, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (written < 0) {
        return FromErrno();
    }
    return Result::Success(written);
}

Result SystemSocketTransport::Receive(int32_t handle, std::span<uint8_t> bytes) {
    if (bytes.empty()) {
        return Result::Failure(kErrWouldBlock);
    }
    const ssize_t read_count = recv(handle, bytes.data(), bytes.size(), 0);
    if (read_count < 0) {
        return FromErrno();
    }
    return Result::Success(read_count);
}

Result SystemSocketTransport::ReceiveVector(int32_t handle,
                                            std::span<const std::span<uint8_t>> parts) {
    std::array<iovec, kMaxReceiveParts> vectors;
    size_t count = 0;
    for (const std::span<uint8_t> part : parts) {
        if (count == vectors.size()) {
            break;  // the rest waits for the next call
        }
        if (!part.empty()) {
            vectors[count++] = iovec{part.data(), part.size()};
        }
    }
    if (count == 0) {
        return Result::Failure(kErrWouldBlock);
    }
    const ssize_t read_count = readv(handle, vectors.data(), static_cast<int>(count));
    if (read_count < 0) {
        return FromErrno();
    }
    return Result::Success(read_count);
}

Result SystemSocketTransport::LocalName(int32_t handle, SocketAddress& local) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return FromErrno();
    }
    FromSockaddr(address, local);
    return Result::Success(0);
}

int32_t SystemSocketTransport::Wait(int32_t handle, WaitFor what, int32_t timeout_ms) {
    pollfd entry{};
    entry.fd = handle;
    entry.events = what == WaitFor::kReadable ? POLLIN : POLLOUT;
    const int result = poll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (result < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (result == 0) {
        return 0;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return -1;
    }
    return 1;
}

SocketTransport::PollTarget SystemSocketTransport::PollFor(int32_t handle, bool want_write) {
    return PollTarget{handle, static_cast<short>(POLLIN | (want_write ? POLLOUT : 0))};
}

int32_t SystemSocketTransport::PendingError(int32_t handle) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return kErrNotSocket;
    }
    return error == 0 ? 0 : kErrFailed;
}

bool SystemSocketTransport::SetReceiveBuffer(int32_t handle, int32_t bytes) {
    const int size = bytes;
    return setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0;
}

void SystemSocketTransport::Close(int32_t handle) {
    if (handle >= 0) {
        close(handle);
    }
}

}  // namespace kf
