#include "engine/api/CKestrelfetchCore.h"

#include <uuid/uuid.h>

#include "engine/api/AsyncMessage.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineGlobals.h"
#include "engine/base/EngineLog.h"
#include "engine/net/HalfOpenProbe.h"
#include "engine/net/HostResolver.h"
#include "engine/net/SocketTransport.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/TunnelSocketTransport.h"
#include "engine/udp/UdpWire.h"

namespace kf {

CKestrelfetchCore& CKestrelfetchCore::Instance() {
    static CKestrelfetchCore core;
    return core;
}

CKestrelfetchCore::CKestrelfetchCore() : tasks_(*this), swarm_(tasks_.Mutex()) {
    // Process-wide storage that the clean-up at exit uses must be made before this object, so
    // that it is destroyed after it.
    TouchLogStorage();
    TouchClockStorage();
    EngineGlobals::Instance();
    SetTunnelTransport(std::make_shared<TunnelSocketTransport>(QUInternalServer::Engine()));
    AsyncMessage::JoinAll();
}

CKestrelfetchCore::~CKestrelfetchCore() {
    QTMutexLock call(EngineGlobals::Instance().engine_call_mutex);
    Cleanup();
    AsyncMessage::JoinAll();
}

void CKestrelfetchCore::Cleanup() {
    // Tasks are destroyed even when InitEngine was never called, so that no worker thread
    // outlives the engine.
    tasks_.DestroyAll();
    StopSharedServices();
    port_forward_.Cleanup();
    EngineGlobals::Instance().initialised = false;
}

void CKestrelfetchCore::FirstTaskStarted() {
    EngineGlobals& globals = EngineGlobals::Instance();
    StartClock();
    if (globals.machine_id[0] == 0) {
        uuid_generate(globals.machine_id.data());
        if (globals.machine_id[0] == 0) {
            globals.machine_id[0] = 1;
        }
    }
    StartUdpEndpoint(globals);
    globals.udp_suspended = false;
    QUInternalServer::Engine().SetSuspended(false);
    globals.dht_enabled = false;
    globals.reachable = false;
    globals.half_open_limit = HalfOpenCapFromProbe(ProbeHalfOpenLimit());
}

void CKestrelfetchCore::StartUdpEndpoint(const EngineGlobals& globals) {
    QUInternalServer::Config config;
    // Until the listener is up (SetLocalAddress) the endpoint takes the port the listener will
    // take, at the engine's bind address, so that engines on one machine keep apart.
    config.local_port = globals.EffectiveListenPort();
    config.bind_ip = globals.bind_ip.load();
    config.node_id = UdpWire::NodeIdOf(globals.machine_id);
    if (QUInternalServer::Engine().Start(config) != 0) {
        EngineLogWrite("UDPServer Thread Start Failed.. ", LogChannel::kApplication);
    }
}

void CKestrelfetchCore::LastTaskGone() {
    EngineGlobals& globals = EngineGlobals::Instance();
    // Both listeners and the multicast socket.
    swarm_.CloseListening();
    QUInternalServer::Engine().ResetSessions();
    globals.udp_suspended = true;
    QUInternalServer::Engine().SetSuspended(true);
    globals.dht_enabled = false;
    globals.reachable = false;
}

void CKestrelfetchCore::StopSharedServices() {
    swarm_.CloseListening();
    QUInternalServer::Engine().Stop();
    StopClock();
    // A name that failed once would otherwise stay failed for the life of the process, even
    // after the network or the resolver configuration was fixed.
    ClearUnresolvableHosts();
}

namespace {

// Made during start-up, so that the clean-up runs at exit whether or not an engine call came.
[[maybe_unused]] const CKestrelfetchCore& g_core = CKestrelfetchCore::Instance();

}  // namespace

}  // namespace kf
