#pragma once

#include <chrono>
#include <functional>

#include "engine/peers/TPeerObject.h"

namespace kf::test {

// How a pump loop ended: its condition held, a Pump answered false, or the time ran out.
enum class PumpEnd { kCondition, kDropped, kTimeout };

// Pumps `peer` like the task's loop (a millisecond apart) until `done`, a false Pump or `limit`.
// After a false Pump, `on_drop` reads what the test needs and the peer is reset, as the task
// does.
PumpEnd PumpPeer(TPeerObject& peer, const std::function<bool()>& done,
                 std::chrono::milliseconds limit, const std::function<void()>& on_drop);

}  // namespace kf::test
