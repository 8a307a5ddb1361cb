// Linked into every test program: the engine of the program and every engine it starts as a child
// (kfget, kestrelfetch) keep their LAN multicast on loopback, however the program is run, so that
// no test datagram leaves the machine. A test may still pin another interface of its own.
#include <arpa/inet.h>

#include <cstdlib>

#include "engine/base/EngineGlobals.h"

namespace {

[[maybe_unused]] const bool g_pinned = [] {
    setenv("KESTRELFETCH_LAN_INTERFACE", "127.0.0.1", 0);
    in_addr address{};
    inet_pton(AF_INET, std::getenv("KESTRELFETCH_LAN_INTERFACE"), &address);
    kf::EngineGlobals& globals = kf::EngineGlobals::Instance();
    globals.lan_enabled = address.s_addr != 0;
    globals.lan_interface = address.s_addr;
    return true;
}();

}  // namespace
