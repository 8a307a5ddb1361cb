#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "engine/base/QTMutex.h"

namespace kf {

// Engine-wide state shared by the engine calls, the core and the tasks. Switches are atomics so
// that task threads read them without taking EngineCallMutex (which they must never take).
struct EngineGlobals {
    static EngineGlobals& Instance();

    QTMutex engine_call_mutex;  // serialises the engine calls; always taken first

    std::atomic<bool> initialised{false};
    std::atomic<bool> p2p_enabled{false};
    std::atomic<int32_t> listen_port{0};  // 0 means 8080
    std::atomic<bool> http_wrapped_handshake{false};
    // Where the listener binds and outgoing BT and tracker connections start from (network
    // order); 0 means every address and the system's choice.
    std::atomic<uint32_t> bind_ip{0};
    std::array<uint8_t, 16> machine_id{};  // made once per process by the first task
    std::atomic<int32_t> half_open_limit{64};
    std::atomic<bool> reachable{false};
    std::atomic<bool> udp_suspended{false};
    // The DHT switch, and the wish of the engine call that the first task copies into it.
    std::atomic<bool> dht_enabled{false};
    std::atomic<bool> dht_requested{false};
    // BitTorrent connections try the tunnelled transport first (PreferUdpTransport).
    std::atomic<bool> prefer_udp_transport{false};
    // LAN discovery over multicast, and the interface it uses (network order; 0: the system's
    // default). Taken by the listening-services step. KESTRELFETCH_LAN_INTERFACE gives the
    // starting values: "off", or the interface's address (a value that is neither keeps
    // discovery off, never on the default interface).
    std::atomic<bool> lan_enabled{true};
    std::atomic<uint32_t> lan_interface{0};

    int32_t EffectiveListenPort() const {
        const int32_t port = listen_port.load();
        return port == 0 ? 8080 : port;
    }

  private:
    EngineGlobals();
};

}  // namespace kf
