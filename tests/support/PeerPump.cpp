#include "support/PeerPump.h"

#include <thread>

namespace kf::test {

PumpEnd PumpPeer(TPeerObject& peer, const std::function<bool()>& done,
                 std::chrono::milliseconds limit, const std::function<void()>& on_drop) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return PumpEnd::kCondition;
        }
        if (!peer.Pump()) {
            on_drop();
            peer.Reset();
            return PumpEnd::kDropped;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return PumpEnd::kTimeout;
}

}  // namespace kf::test
