// Linked into every test program, however it is run, so that no test datagram leaves the machine
// and engines of parallel tests with one torrent do not find each other: the program's engine
// keeps LAN discovery off, on loopback, until a test of it switches it on; the engines it starts
// as children (kfget, kestrelfetch) keep it off unless told otherwise.
#include <arpa/inet.h>

#include <cstdlib>

#include "engine/base/EngineGlobals.h"

namespace {

[[maybe_unused]] const bool g_pinned = [] {
    setenv("KESTRELFETCH_LAN_INTERFACE", "off", 0);
    in_addr loopback{};
    inet_pton(AF_INET, "127.0.0.1", &loopback);
    kf::EngineGlobals& globals = kf::EngineGlobals::Instance();
    globals.lan_enabled = false;
    globals.lan_interface = loopback.s_addr;
    return true;
}();

}  // namespace
