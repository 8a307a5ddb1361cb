#include "engine/task/HalfOpenRoom.h"

#include <algorithm>

namespace kf {

int32_t HalfOpenRoom(int32_t engine_limit, int32_t peer_limit, int32_t live, int32_t connecting,
                     bool reachable) {
    const int32_t cap = std::min(2 * std::min(engine_limit, peer_limit), peer_limit);
    const int32_t base = !reachable && peer_limit >= 100 ? 32 : 16;
    int32_t room = peer_limit < base + live ? peer_limit - live : base;
    if (connecting + room >= cap) {
        room = cap - connecting - 1;
    }
    return std::max(room, 0);
}

}  // namespace kf
