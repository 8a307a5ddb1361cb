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
