#include "engine/base/EngineGlobals.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace kf {

EngineGlobals::EngineGlobals() {
    // A test harness keeps the multicast of every engine it starts on an interface of its own.
    const char* lan = std::getenv("KESTRELFETCH_LAN_INTERFACE");
    if (lan == nullptr) {
        return;
    }
    in_addr address{};
    if (std::strcmp(lan, "off") == 0 || inet_pton(AF_INET, lan, &address) != 1) {
        lan_enabled = false;
        return;
    }
    lan_interface = address.s_addr;
}

EngineGlobals& EngineGlobals::Instance() {
    static EngineGlobals globals;
    return globals;
}

}  // namespace kf
