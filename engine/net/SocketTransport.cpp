#include "engine/net/SocketTransport.h"

#include <mutex>
#include <utility>

#include "engine/net/SystemSocketTransport.h"

namespace kf {

namespace {

struct TunnelSlot {
    std::mutex mutex;
    std::shared_ptr<SocketTransport> transport;
};

TunnelSlot& Slot() {
    static TunnelSlot slot;
    return slot;
}

}  // namespace

SocketTransport::Result SocketTransport::ReceiveVector(int32_t handle,
                                                       std::span<const std::span<uint8_t>> parts) {
    int64_t total = 0;
    for (const std::span<uint8_t> part : parts) {
        if (part.empty()) {
            continue;
        }
        const Result read = Receive(handle, part);
        if (!read.Ok() || read.value == 0) {
            return total > 0 ? Result::Success(total) : read;
        }
        total += read.value;
        if (static_cast<size_t>(read.value) < part.size()) {
            break;
        }
    }
    return total > 0 ? Result::Success(total) : Result::Failure(kErrWouldBlock);
}

std::shared_ptr<SocketTransport> SystemTransport() {
    static const std::shared_ptr<SocketTransport> transport =
        std::make_shared<SystemSocketTransport>();
    return transport;
}

std::shared_ptr<SocketTransport> TunnelTransport() {
    TunnelSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    return slot.transport;
}

void SetTunnelTransport(std::shared_ptr<SocketTransport> transport) {
    TunnelSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.transport = std::move(transport);
}

}  // namespace kf
