#pragma once

#include <cstdint>

namespace kf {

// How many more outgoing BitTorrent connections a task may start while `connecting` of its
// `live` peer objects are still half-open. `engine_limit` is the engine-wide half-open cap,
// `peer_limit` the task's peer limit; an engine that nobody reached from outside yet tries more
// peers at once when the task may hold many. Never negative.
int32_t HalfOpenRoom(int32_t engine_limit, int32_t peer_limit, int32_t live, int32_t connecting,
                     bool reachable);

}  // namespace kf
