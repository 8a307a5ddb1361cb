#include "engine/net/QSocket.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "engine/net/ProxyProtocol.h"

namespace kf {

namespace {

using WaitFor = SocketTransport::WaitFor;

// Shrink thresholds: a buffer is replaced only when it wastes a lot of room.
constexpr int32_t kSmallBuffer = 4096;
constexpr int32_t kHugeWaste = 2101249;
constexpr int32_t kHugeKeep = 21012479;
constexpr int32_t kSendGrowthSlack = 1024;
constexpr int32_t kReceiveGrowthSlack = 2048;
constexpr auto kBlockingFlushPause = std::chrono::milliseconds(5);

}  // namespace

QSocket::QSocket(std::shared_ptr<BufferPool> pool) : pool_(std::move(pool)) {
    if (pool_ == nullptr) {
        pool_ = SocketBufferPool();
    }
}

QSocket::~QSocket() {
    Close();
}

void QSocket::Close() {
    if (handle_ >= 0 && transport_ != nullptr) {
        transport_->Close(handle_);
    }
    transport_.reset();
    send_buf_.Release();
    recv_buf_.Release();
    proxy_ = QProxyConfig();
    proxy_target_.clear();
    names_given_ = false;
    proxy_done_ = true;
    proxy_request_sent_ = false;
    host_text_.clear();
    remote_ip_ = 0;
    local_ip_ = 0;
    handle_ = SocketTransport::kInvalidHandle;
    remote_port_ = 0;
    local_port_ = 0;
    send_len_ = 0;
    recv_len_ = 0;
    readable_pending_ = false;
    writable_pending_ = false;
    established_ = false;
    blocking_ = false;
    listening_ = false;
    sent_total_ = 0;
    received_total_ = 0;
    established_time_ = 0;
    connect_time_ = 0;
    use_udp_transport_ = false;
    keep_buffers_ = false;
    identity_.fill(0);
}

int64_t QSocket::WriteRaw(std::span<const uint8_t> bytes) {
    const SocketTransport::Result written = transport_->Send(handle_, bytes);
    if (written.Ok()) {
        sent_total_ += static_cast<uint64_t>(written.value);
        return written.value;
    }
    return written.WouldBlock() ? 0 : -1;
}

int64_t QSocket::ReadRaw(std::span<uint8_t> bytes) {
    const SocketTransport::Result read = transport_->Receive(handle_, bytes);
    if (read.Ok()) {
        if (read.value == 0) {
            return -1;  // the remote closed
        }
        received_total_ += static_cast<uint64_t>(read.value);
        return read.value;
    }
    return read.WouldBlock() ? 0 : -1;
}

bool QSocket::Enqueue(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return true;
    }
    const int64_t needed = static_cast<int64_t>(send_len_) + static_cast<int64_t>(bytes.size());
    if (needed > kMaxBufferBytes) {
        return false;
    }
    if (needed > static_cast<int64_t>(send_buf_.size())) {
        const int64_t grown = static_cast<int64_t>(send_buf_.size()) +
                              static_cast<int64_t>(bytes.size()) + kSendGrowthSlack;
        BufferPool::Buffer bigger = pool_->Take(
            static_cast<size_t>(std::min<int64_t>(grown, static_cast<int64_t>(kMaxBufferBytes))));
        if (bigger.empty()) {
            return false;
        }
        if (send_len_ > 0) {
            std::memcpy(bigger.data(), send_buf_.data(), static_cast<size_t>(send_len_));
        }
        send_buf_ = std::move(bigger);
    }
    std::memcpy(send_buf_.data() + send_len_, bytes.data(), bytes.size());
    send_len_ = static_cast<int32_t>(needed);
    send_buf_.data()[send_len_] = 0;
    return true;
}

bool QSocket::EnsureReceiveRoom(int32_t wanted) {
    const int64_t capacity = static_cast<int64_t>(recv_buf_.size());
    if (capacity - recv_len_ >= wanted) {
        return true;
    }
    const int64_t grown = capacity + wanted + kReceiveGrowthSlack;
    if (grown > kMaxBufferBytes) {
        return false;
    }
    BufferPool::Buffer bigger = pool_->Take(static_cast<size_t>(grown));
    if (bigger.empty()) {
        return false;
    }
    if (recv_len_ > 0) {
        std::memcpy(bigger.data(), recv_buf_.data(), static_cast<size_t>(recv_len_));
    }
    bigger.data()[recv_len_] = 0;
    recv_buf_ = std::move(bigger);
    return true;
}

void QSocket::TakeFront(BufferPool::Buffer& buffer, int32_t& length, int32_t count, bool keep) {
    count = std::clamp(count, 0, length);
    const int32_t remaining = length - count;
    if (remaining == 0) {
        buffer.Release();
        length = 0;
        return;
    }
    const int64_t capacity = static_cast<int64_t>(buffer.size());
    int64_t replacement = 0;
    if (!keep) {
        if (capacity <= kSmallBuffer || capacity / remaining < 6) {
            if (capacity - remaining >= kHugeWaste && remaining <= kHugeKeep) {
                replacement = remaining + remaining / 10;
            }
        } else {
            replacement = remaining < 1024 ? 1024 : remaining + 1024;
        }
    }
    if (replacement > 0) {
        BufferPool::Buffer smaller = pool_->Take(static_cast<size_t>(replacement));
        if (!smaller.empty()) {
            std::memcpy(smaller.data(), buffer.data() + count, static_cast<size_t>(remaining));
            buffer = std::move(smaller);
            length = remaining;
            buffer.data()[length] = 0;
            return;
        }
    }
    // Kept (or no smaller buffer to be had): move the rest to the front.
    std::memmove(buffer.data(), buffer.data() + count, static_cast<size_t>(remaining));
    length = remaining;
    buffer.data()[length] = 0;
}

int32_t QSocket::SendBytes(const void* bytes, int32_t length) {
    if (bytes == nullptr || length <= 0) {
        return SendBytes(std::span<const uint8_t>());
    }
    return SendBytes(
        std::span<const uint8_t>(static_cast<const uint8_t*>(bytes), static_cast<size_t>(length)));
}

int32_t QSocket::SendBytes(std::span<const uint8_t> bytes) {
    if (handle_ < 0 || remote_ip_ == 0) {
        return 0;
    }
    if (bytes.size() > static_cast<size_t>(kMaxBufferBytes)) {
        Close();
        return -1;
    }
    const int32_t length = static_cast<int32_t>(bytes.size());
    if (!IsEstablished()) {
        if (handle_ < 0) {
            return -1;
        }
        if (!Enqueue(bytes)) {
            Close();
            return -1;
        }
        return 0;
    }
    if (!proxy_done_) {
        // The proxy's reply is still awaited: nothing may reach the far end before it.
        const int32_t queued_before = send_len_;
        if (!Enqueue(bytes)) {
            Close();
            return -1;
        }
        if (ReceiveBytes(0) < 0) {
            return -1;
        }
        return std::max(0, queued_before + length - send_len_);
    }

    int32_t flushed = 0;
    if (send_len_ > 0) {
        const int64_t written = WriteRaw(std::span<const uint8_t>(
            send_buf_.data(), static_cast<size_t>(std::min(send_len_, length))));
        if (written < 0) {
            Close();
            return -1;
        }
        if (written == 0 && length > 0) {
            if (!Enqueue(bytes)) {
                Close();
                return -1;
            }
            return 0;
        }
        flushed = static_cast<int32_t>(written);
        TakeFront(send_buf_, send_len_, flushed, keep_buffers_);
    }
    int32_t direct = 0;
    if (send_len_ > 0 || flushed == length) {
        if (!Enqueue(bytes)) {
            Close();
            return -1;
        }
    } else {
        const int64_t written = WriteRaw(bytes.first(static_cast<size_t>(length - flushed)));
        if (written < 0) {
            Close();
            return -1;
        }
        direct = static_cast<int32_t>(written);
        if (!Enqueue(bytes.subspan(static_cast<size_t>(direct)))) {
            Close();
            return -1;
        }
    }
    int32_t total = flushed + direct;
    if (blocking_ && send_len_ > 0) {
        const int32_t more = FlushQueue(-1);
        if (more < 0) {
            return -1;
        }
        total += more;
    }
    return total;
}

int32_t QSocket::FlushQueue(int32_t max_length) {
    if (handle_ < 0 || remote_ip_ == 0) {
        return -1;
    }
    if (!IsEstablished()) {
        return handle_ < 0 ? -1 : 0;
    }
    if (!proxy_done_ || send_len_ == 0) {
        return 0;
    }
    const int32_t wanted = max_length < 0 ? send_len_ : std::min(max_length, send_len_);
    int32_t total = 0;
    while (total < wanted) {
        const int64_t written = WriteRaw(std::span<const uint8_t>(
            send_buf_.data() + total, static_cast<size_t>(wanted - total)));
        if (written < 0) {
            Close();
            return -1;
        }
        total += static_cast<int32_t>(written);
        if (!blocking_ || written == 0 || total >= wanted) {
            break;
        }
        // Blocking mode: keep going while the socket stays writable.
        std::this_thread::sleep_for(kBlockingFlushPause);
        if (transport_->Wait(handle_, WaitFor::kWritable, 0) != 1) {
            break;
        }
    }
    TakeFront(send_buf_, send_len_, total, keep_buffers_);
    return total;
}

int32_t QSocket::ReceiveBytes(int32_t wanted) {
    if (handle_ < 0 || remote_ip_ == 0) {
        return -1;
    }
    if (!IsEstablished()) {
        return handle_ < 0 ? -1 : 0;
    }
    if (wanted <= 0) {
        wanted = kDefaultReceiveSize;
    }
    if (!EnsureReceiveRoom(wanted)) {
        Close();
        return -1;
    }
    if (blocking_) {
        transport_->Wait(handle_, WaitFor::kReadable, -1);
    }
    const int64_t read =
        ReadRaw(std::span<uint8_t>(recv_buf_.data() + recv_len_, static_cast<size_t>(wanted)));
    if (read < 0) {
        Close();
        return -1;
    }
    recv_len_ += static_cast<int32_t>(read);
    recv_buf_.data()[recv_len_] = 0;
    if (!proxy_done_) {
        const int32_t progress = ProgressProxyReply();
        if (progress < 0) {
            proxy_failure_ = DescribeProxyRefusal(proxy_.type, Received());
            Close();
            return -1;
        }
        if (progress == 0) {
            return 0;
        }
        if (FlushQueue(-1) < 0) {
            return -1;
        }
    }
    return recv_len_;
}

int32_t QSocket::ReceiveInto(std::span<const std::span<uint8_t>> parts) {
    if (handle_ < 0 || remote_ip_ == 0) {
        return -1;
    }
    if (!IsEstablished()) {
        return handle_ < 0 ? -1 : 0;
    }
    if (!proxy_done_ || recv_len_ > 0 || parts.empty()) {
        return 0;
    }
    if (blocking_) {
        transport_->Wait(handle_, WaitFor::kReadable, -1);
    }
    const SocketTransport::Result read = transport_->ReceiveVector(handle_, parts);
    if (read.Ok() && read.value > 0) {
        received_total_ += static_cast<uint64_t>(read.value);
        return static_cast<int32_t>(std::min<int64_t>(read.value, INT32_MAX));
    }
    if (read.WouldBlock()) {
        return 0;
    }
    Close();  // an error, or the remote closed (a read of 0 bytes)
    return -1;
}

void QSocket::Consume(int32_t count, bool keep) {
    if (count < 0 || count > recv_len_) {
        count = recv_len_;
    }
    if (recv_buf_.empty()) {
        return;
    }
    TakeFront(recv_buf_, recv_len_, count, keep || keep_buffers_);
}

std::span<const uint8_t> QSocket::Received() const {
    if (recv_buf_.empty()) {
        return {};
    }
    return {recv_buf_.data(), static_cast<size_t>(recv_len_)};
}

const char* QSocket::ReceivedText() const {
    return recv_buf_.empty() ? "" : reinterpret_cast<const char*>(recv_buf_.data());
}

bool QSocket::SetReceiveBuffer(int32_t bytes) {
    if (handle_ < 0 || use_udp_transport_) {
        return false;
    }
    if (bytes <= 0 || bytes > kMaxSocketReceiveBuffer) {
        bytes = kDefaultSocketReceiveBuffer;
    }
    return transport_->SetReceiveBuffer(handle_, bytes);
}

int32_t QSocket::WaitMs(int32_t seconds) const {
    if (seconds == -1) {
        return -1;
    }
    if (seconds == -2) {
        return blocking_ ? -1 : 0;
    }
    if (seconds <= 0) {
        return 0;
    }
    return static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(seconds) * 1000, INT32_MAX));
}

bool QSocket::WaitReadable(int32_t seconds) {
    if (handle_ < 0) {
        return false;
    }
    if (readable_pending_) {
        readable_pending_ = false;
        return true;
    }
    return transport_->Wait(handle_, WaitFor::kReadable, WaitMs(seconds)) == 1;
}

bool QSocket::WaitWritable(int32_t seconds) {
    if (handle_ < 0) {
        return false;
    }
    if (writable_pending_) {
        writable_pending_ = false;
        return true;
    }
    return transport_->Wait(handle_, WaitFor::kWritable, WaitMs(seconds)) == 1;
}

}  // namespace kf
